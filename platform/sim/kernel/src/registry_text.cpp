// The registry's text form: fixtures and machine setup load it, test failure messages
// and the simulator tool dump it (syntax in simkernel/registry.h).
#include <cctype>
#include <cstdio>

#include "registry_internal.h"

namespace kwsim::detail {

std::string ToUtf8(std::u16string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool FromUtf8(std::string_view text, std::u16string* out)
{
    out->clear();
    for (size_t i = 0; i < text.size();) {
        unsigned char b = (unsigned char)text[i];
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        if (extra < 0 || text.size() - i <= (size_t)extra) return false;
        uint32_t c = extra ? b & (0x3F >> extra) : b;
        for (int k = 1; k <= extra; k++) {
            unsigned char n = (unsigned char)text[i + k];
            if ((n & 0xC0) != 0x80) return false;
            c = (c << 6) | (n & 0x3F);
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            *out += (char16_t)(0xD800 + (c >> 10));
            *out += (char16_t)(0xDC00 + (c & 0x3FF));
        } else {
            *out += (char16_t)c;
        }
    }
    return true;
}

}  // namespace kwsim::detail

namespace kwsim {
using namespace detail;

namespace {

// ---- encodings shared by the loader and the dump ----

std::vector<uint8_t> WideBytes(std::u16string_view s, bool terminate)
{
    const uint8_t* p = reinterpret_cast<const uint8_t*>(s.data());
    std::vector<uint8_t> out(p, p + s.size() * 2);
    if (terminate) out.insert(out.end(), {0, 0});
    return out;
}

std::vector<uint8_t> MultiBytes(const std::vector<std::u16string>& strings)
{
    std::vector<uint8_t> out;
    for (auto& s : strings) {
        auto b = WideBytes(s, true);
        out.insert(out.end(), b.begin(), b.end());
    }
    out.insert(out.end(), {0, 0});
    return out;
}

std::vector<uint8_t> NumberBytes(uint64_t v, int bytes)
{
    std::vector<uint8_t> out;
    for (int i = 0; i < bytes; i++) out.push_back((uint8_t)(v >> (8 * i)));
    return out;
}

std::string Quote(std::u16string_view s)
{
    std::string out = "\"";
    for (char c : ToUtf8(s)) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string Hex(const std::vector<uint8_t>& data)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < data.size(); i++) {
        snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", data[i]);
        out += buf;
    }
    return out;
}

// The readable form of a value when it encodes back to exactly the same bytes;
// otherwise hex with the type.
std::string ValueText(const RegValue& v)
{
    const auto& d = v.data;
    std::u16string_view w(reinterpret_cast<const char16_t*>(d.data()), d.size() / 2);
    bool even = d.size() % 2 == 0;
    bool noZero = w.find(u'\0') == std::u16string_view::npos;
    char buf[32];
    switch (v.type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (even && !w.empty() && w.back() == 0 && w.find(u'\0') == w.size() - 1)
            return (v.type == REG_SZ ? "" : "expand:") + Quote(w.substr(0, w.size() - 1));
        if (v.type == REG_SZ && even && noZero && !w.empty()) return "unterminated:" + Quote(w);
        break;
    case REG_DWORD:
        if (d.size() == 4) {
            snprintf(buf, sizeof buf, "dword:%08x", (unsigned)(d[0] | d[1] << 8 | d[2] << 16 | (uint32_t)d[3] << 24));
            return buf;
        }
        break;
    case REG_QWORD:
        if (d.size() == 8) {
            uint64_t q = 0;
            for (int i = 7; i >= 0; i--) q = q << 8 | d[i];
            snprintf(buf, sizeof buf, "qword:%016llx", (unsigned long long)q);
            return buf;
        }
        break;
    case REG_MULTI_SZ:
        if (even && w.size() >= 1 && w.back() == 0) {
            std::vector<std::u16string> strings;
            std::u16string_view body = w.substr(0, w.size() - 1);
            for (size_t pos = 0; pos < body.size();) {
                size_t end = body.find(u'\0', pos);
                if (end == std::u16string_view::npos) break;
                strings.emplace_back(body.substr(pos, end - pos));
                pos = end + 1;
            }
            if (MultiBytes(strings) == d) {
                std::string out = "multi:";
                for (size_t i = 0; i < strings.size(); i++) out += (i ? "," : "") + Quote(strings[i]);
                return out;
            }
        }
        break;
    case REG_BINARY:
        return "hex:" + Hex(d);
    }
    snprintf(buf, sizeof buf, "hex(%x):", (unsigned)v.type);
    return buf + Hex(d);
}

void DumpKey(Registry& reg, const RegKey& key, std::string& out)
{
    if (!out.empty()) out += "\n";
    out += "[" + ToUtf8(reg.PathOf(key)) + "]\n";
    RegValue v;
    for (ULONG i = 0; NT_SUCCESS(reg.EnumValue(key, i, &v)); i++)
        out += (v.name.empty() ? std::string("@") : Quote(v.name)) + "=" + ValueText(v) + "\n";
    RegKeyInfo info;
    for (ULONG i = 0; NT_SUCCESS(reg.EnumKey(key, i, &info)); i++) {
        RegKey child;
        if (NT_SUCCESS(reg.Open(key, info.name, &child))) DumpKey(reg, child, out);
    }
}

// ---- the loader ----

class Parser {
public:
    explicit Parser(std::string_view line) : s_(line) {}

    bool AtEnd()
    {
        SkipSpace();
        return i_ >= s_.size();
    }
    bool Take(std::string_view word)
    {
        SkipSpace();
        if (s_.substr(i_, word.size()) != word) return false;
        i_ += word.size();
        return true;
    }
    // A quoted string with \\ and \" escapes.
    bool Quoted(std::u16string* out, std::string* error)
    {
        SkipSpace();
        if (i_ >= s_.size() || s_[i_] != '"') return Fail(error, "a quoted string expected");
        std::string raw;
        for (i_++; i_ < s_.size() && s_[i_] != '"'; i_++) {
            if (s_[i_] == '\\') {
                if (++i_ >= s_.size() || (s_[i_] != '\\' && s_[i_] != '"'))
                    return Fail(error, "only \\\\ and \\\" are escapes in quoted text");
            }
            raw += s_[i_];
        }
        if (i_ >= s_.size()) return Fail(error, "unterminated quoted string");
        i_++;
        if (!FromUtf8(raw, out)) return Fail(error, "quoted string is not UTF-8");
        return true;
    }
    bool HexNumber(int maxDigits, uint64_t* value, std::string* error)
    {
        SkipSpace();
        int n = 0;
        uint64_t v = 0;
        for (; i_ < s_.size() && isxdigit((unsigned char)s_[i_]); i_++, n++) {
            char c = (char)tolower(s_[i_]);
            v = v * 16 + (uint64_t)(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        if (n == 0 || n > maxDigits) return Fail(error, "1 to " + std::to_string(maxDigits) + " hex digits expected");
        *value = v;
        return true;
    }
    bool HexBytes(std::vector<uint8_t>* out, std::string* error)
    {
        out->clear();
        if (AtEnd()) return true;
        do {
            uint64_t b;
            if (!HexNumber(2, &b, error)) return false;
            out->push_back((uint8_t)b);
        } while (Take(","));
        return true;
    }
    bool Peek(char c)
    {
        SkipSpace();
        return i_ < s_.size() && s_[i_] == c;
    }
    std::string_view Rest() { return s_.substr(i_); }

private:
    void SkipSpace()
    {
        while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\r')) i_++;
    }
    static bool Fail(std::string* error, const std::string& text)
    {
        *error = text;
        return false;
    }
    std::string_view s_;
    size_t i_ = 0;
};

// value := "text" | unterminated:"text" | expand:"text" | multi:"a","b" | dword:X | qword:X
//        | hex:bytes | hex(T):bytes | -
bool ParseValue(Parser& p, RegValue* v, bool* remove, std::string* error)
{
    *remove = false;
    std::u16string text;
    uint64_t n;
    if (p.Take("-")) {
        *remove = true;
    } else if (p.Peek('"')) {
        if (!p.Quoted(&text, error)) return false;
        v->type = REG_SZ;
        v->data = WideBytes(text, true);
    } else if (p.Take("unterminated:")) {
        if (!p.Quoted(&text, error)) return false;
        v->type = REG_SZ;
        v->data = WideBytes(text, false);
    } else if (p.Take("expand:")) {
        if (!p.Quoted(&text, error)) return false;
        v->type = REG_EXPAND_SZ;
        v->data = WideBytes(text, true);
    } else if (p.Take("multi:")) {
        std::vector<std::u16string> strings;
        if (!p.AtEnd()) do {
                if (!p.Quoted(&text, error)) return false;
                strings.push_back(text);
            } while (p.Take(","));
        v->type = REG_MULTI_SZ;
        v->data = MultiBytes(strings);
    } else if (p.Take("dword:")) {
        if (!p.HexNumber(8, &n, error)) return false;
        v->type = REG_DWORD;
        v->data = NumberBytes(n, 4);
    } else if (p.Take("qword:")) {
        if (!p.HexNumber(16, &n, error)) return false;
        v->type = REG_QWORD;
        v->data = NumberBytes(n, 8);
    } else if (p.Take("hex:")) {
        v->type = REG_BINARY;
        if (!p.HexBytes(&v->data, error)) return false;
    } else if (p.Take("hex(")) {
        if (!p.HexNumber(8, &n, error)) return false;
        if (!p.Take("):")) return (*error = "hex(type): expected", false);
        v->type = (ULONG)n;
        if (!p.HexBytes(&v->data, error)) return false;
    } else {
        *error = "unknown value form";
        return false;
    }
    if (!p.AtEnd()) return (*error = "unexpected text after the value", false);
    return true;
}

bool ApplyLine(Registry& reg, std::string_view line, RegKey* current, std::string* error)
{
    Parser p(line);
    if (p.AtEnd() || p.Take(";") || p.Take("#")) return true;
    if (p.Take("[")) {
        std::string_view rest = p.Rest();
        size_t close = rest.rfind(']');
        if (close == std::string_view::npos || !Parser(rest.substr(close + 1)).AtEnd())
            return (*error = "a section is [path]", false);
        bool remove = !rest.empty() && rest[0] == '-';
        std::u16string path;
        if (!FromUtf8(rest.substr(remove, close - remove), &path)) return (*error = "path is not UTF-8", false);
        NTSTATUS status;
        if (remove) {
            current->reset();
            RegKey gone;
            status = reg.Open(nullptr, path, &gone);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND) return true;
            if (NT_SUCCESS(status)) status = reg.DeleteTree(gone);
        } else {
            status = reg.CreatePath(path, current);
        }
        if (!NT_SUCCESS(status)) {
            char buf[64];
            snprintf(buf, sizeof buf, "key %s failed with 0x%08X", remove ? "deletion" : "creation", (unsigned)status);
            return (*error = buf, false);
        }
        return true;
    }
    if (!*current) return (*error = "a value outside a key section", false);
    RegValue v;
    if (p.Take("@")) {
        v.name.clear();
    } else if (!p.Quoted(&v.name, error)) {
        return false;
    }
    if (!p.Take("=")) return (*error = "= expected after the value name", false);
    bool remove;
    if (!ParseValue(p, &v, &remove, error)) return false;
    NTSTATUS status = remove ? reg.DeleteValue(*current, v.name) : reg.SetValue(*current, v.name, v.type, v.data.data(), v.data.size());
    if (remove && status == STATUS_OBJECT_NAME_NOT_FOUND) status = STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return (*error = "value could not be written", false);
    return true;
}

}  // namespace

bool LoadRegistryText(std::string_view text, std::string* error)
{
    Registry& reg = GetRegistry();
    RegKey current;
    int number = 0;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        number++;
        std::string why;
        if (!ApplyLine(reg, line, &current, &why)) {
            if (error) *error = "line " + std::to_string(number) + ": " + why + ": " + std::string(line);
            return false;
        }
    }
    return true;
}

std::string DumpRegistry(std::string_view path)
{
    Registry& reg = GetRegistry();
    std::u16string wide;
    RegKey key;
    if (!FromUtf8(path, &wide) || !NT_SUCCESS(reg.Open(nullptr, wide, &key)))
        return "; no key " + std::string(path) + "\n";
    std::string out;
    DumpKey(reg, key, out);
    return out;
}

}  // namespace kwsim
