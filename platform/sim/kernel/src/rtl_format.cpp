// Formatted output with the kernel's printf conventions (those of the Windows C
// library): l is 32 bits, I64 and ll are 64 bits, I is pointer sized; %S, %ws and %ls
// take 16-bit strings in narrow output, %Z an ANSI_STRING, %wZ a UNICODE_STRING; %p
// prints the pointer in upper-case hex with every digit.
#include <cstdarg>
#include <string>

#include "kernel_internal.h"

namespace {

template <typename Out>
struct Conversion {
    bool left = false, plus = false, space = false, alt = false, zero = false;
    int width = -1, precision = -1;
    int bits = 32;         // integer width
    char strKind = 0;      // 'n' narrow, 'w' wide, 0 default for the output type
};

template <typename Out>
void Pad(std::basic_string<Out>& out, size_t len, const Conversion<Out>& s, const std::basic_string<Out>& body,
         bool numeric, size_t prefixLen)
{
    size_t width = s.width > 0 ? (size_t)s.width : 0;
    if (len >= width) {
        out += body;
        return;
    }
    size_t pad = width - len;
    if (s.left) {
        out += body;
        out.append(pad, (Out)' ');
    } else if (numeric && s.zero && s.precision < 0) {
        out.append(body.begin(), body.begin() + (long)prefixLen);
        out.append(pad, (Out)'0');
        out.append(body.begin() + (long)prefixLen, body.end());
    } else {
        out.append(pad, (Out)' ');
        out += body;
    }
}

template <typename Out>
void Integer(std::basic_string<Out>& out, const Conversion<Out>& s, char conv, uint64_t value, bool negative)
{
    unsigned base = (conv == 'x' || conv == 'X' || conv == 'p') ? 16 : conv == 'o' ? 8 : 10;
    const char* digits = (conv == 'X' || conv == 'p') ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string num;
    do {
        num.insert(num.begin(), digits[value % base]);
        value /= base;
    } while (value);
    if (s.precision >= 0) {
        if (s.precision == 0 && num == "0") num.clear();
        while ((int)num.size() < s.precision) num.insert(num.begin(), '0');
    }
    std::string prefix;
    if (negative)
        prefix = "-";
    else if (conv == 'd' || conv == 'i') {
        if (s.plus) prefix = "+";
        else if (s.space) prefix = " ";
    }
    if (s.alt && !num.empty() && num != "0") {
        if (conv == 'x') prefix += "0x";
        if (conv == 'X') prefix += "0X";
        if (conv == 'o' && num[0] != '0') num.insert(num.begin(), '0');
    }
    std::basic_string<Out> body;
    for (char c : prefix + num) body += (Out)c;
    Pad(out, body.size(), s, body, true, prefix.size());
}

template <typename Out, typename In>
void Text(std::basic_string<Out>& out, const Conversion<Out>& s, const In* str, size_t maxLen)
{
    std::basic_string<Out> body;
    if (!str) {
        for (const char* p = "(null)"; *p; p++) body += (Out)*p;
    } else {
        size_t limit = s.precision >= 0 ? (size_t)s.precision : maxLen;
        for (size_t i = 0; i < limit && (maxLen != SIZE_MAX || str[i]); i++) {
            uint32_t c = (uint32_t)(std::make_unsigned_t<In>)str[i];
            if (sizeof(Out) == 1 && c > 0xFF) c = '?';
            body += (Out)c;
        }
    }
    Pad(out, body.size(), s, body, false, 0);
}

template <typename Out, typename Fmt>
std::basic_string<Out> Format(const Fmt* f, va_list ap)
{
    std::basic_string<Out> out;
    const bool wideOut = sizeof(Out) == 2;
    while (*f) {
        if (*f != '%') {
            out += (Out)(std::make_unsigned_t<Fmt>)*f++;
            continue;
        }
        const Fmt* start = f++;
        Conversion<Out> s;
        for (;; f++) {
            if (*f == '-') s.left = true;
            else if (*f == '+') s.plus = true;
            else if (*f == ' ') s.space = true;
            else if (*f == '#') s.alt = true;
            else if (*f == '0') s.zero = true;
            else break;
        }
        if (*f == '*') {
            s.width = va_arg(ap, int);
            if (s.width < 0) {
                s.left = true;
                s.width = -s.width;
            }
            f++;
        } else {
            while (*f >= '0' && *f <= '9') s.width = (s.width < 0 ? 0 : s.width * 10) + (*f++ - '0');
        }
        if (*f == '.') {
            f++;
            s.precision = 0;
            if (*f == '*') {
                s.precision = va_arg(ap, int);
                f++;
            } else {
                while (*f >= '0' && *f <= '9') s.precision = s.precision * 10 + (*f++ - '0');
            }
        }
        // Size prefixes.
        for (bool more = true; more;) {
            switch (*f) {
            case 'h':
                s.bits = (f[1] == 'h') ? 8 : 16;
                if (f[1] == 'h') f++;
                s.strKind = 'n';
                f++;
                break;
            case 'l':
                if (f[1] == 'l') {
                    s.bits = 64;
                    f += 2;
                } else {
                    s.bits = 32;
                    s.strKind = 'w';
                    f++;
                }
                break;
            case 'w':
                s.strKind = 'w';
                f++;
                break;
            case 'L':
            case 'q':
            case 'j':
                s.bits = 64;
                f++;
                break;
            case 'z':
            case 't':
                s.bits = (int)sizeof(size_t) * 8;
                f++;
                break;
            case 'I':
                if (f[1] == '6' && f[2] == '4') {
                    s.bits = 64;
                    f += 3;
                } else if (f[1] == '3' && f[2] == '2') {
                    s.bits = 32;
                    f += 3;
                } else {
                    s.bits = (int)sizeof(void*) * 8;
                    f++;
                }
                break;
            default:
                more = false;
            }
        }
        char conv = (char)*f;
        if (!conv) break;
        f++;
        switch (conv) {
        case 'd':
        case 'i': {
            int64_t v = s.bits == 64 ? va_arg(ap, int64_t) : (int64_t)va_arg(ap, int);
            if (s.bits == 16) v = (int16_t)v;
            if (s.bits == 8) v = (int8_t)v;
            if (s.bits == 32) v = (int32_t)v;
            Integer(out, s, conv, v < 0 ? (uint64_t)(-(v + 1)) + 1 : (uint64_t)v, v < 0);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            uint64_t v = s.bits == 64 ? va_arg(ap, uint64_t) : (uint64_t)va_arg(ap, unsigned int);
            if (s.bits == 16) v = (uint16_t)v;
            if (s.bits == 8) v = (uint8_t)v;
            if (s.bits == 32) v = (uint32_t)v;
            Integer(out, s, conv, v, false);
            break;
        }
        case 'p': {
            Conversion<Out> ps = s;
            ps.precision = (int)sizeof(void*) * 2;
            ps.alt = false;
            Integer(out, ps, 'p', (uint64_t)(uintptr_t)va_arg(ap, void*), false);
            break;
        }
        case 'c':
        case 'C': {
            bool wide = (conv == 'c') == wideOut;
            if (s.strKind == 'w') wide = true;
            if (s.strKind == 'n') wide = false;
            int c = va_arg(ap, int);
            WCHAR w[2] = {(WCHAR)(wide ? (uint16_t)c : (uint8_t)c), 0};
            Text(out, s, w, 1);
            break;
        }
        case 's':
        case 'S': {
            // In narrow output %s is narrow and %S wide; in wide output the other way.
            bool wide = (conv == 's') == wideOut;
            if (s.strKind == 'w') wide = true;
            if (s.strKind == 'n') wide = false;
            void* p = va_arg(ap, void*);
            if (wide)
                Text(out, s, static_cast<const WCHAR*>(p), SIZE_MAX);
            else
                Text(out, s, static_cast<const char*>(p), SIZE_MAX);
            break;
        }
        case 'Z': {
            void* p = va_arg(ap, void*);
            if (s.strKind == 'w') {
                const UNICODE_STRING* u = static_cast<const UNICODE_STRING*>(p);
                Text(out, s, u ? u->Buffer : nullptr, u ? u->Length / sizeof(WCHAR) : 0);
            } else {
                const ANSI_STRING* a = static_cast<const ANSI_STRING*>(p);
                Text(out, s, a ? a->Buffer : nullptr, a ? a->Length : 0);
            }
            break;
        }
        case 'n': {
            int* p = va_arg(ap, int*);
            if (p) *p = (int)out.size();
            break;
        }
        case '%':
            out += (Out)'%';
            break;
        case 'e':
        case 'E':
        case 'f':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            (void)va_arg(ap, double);  // no floating point in kernel code
            out += (Out)'?';
            break;
        default:
            for (const Fmt* p = start; p < f; p++) out += (Out)(std::make_unsigned_t<Fmt>)*p;
        }
    }
    return out;
}

template <typename Out>
int Emit(Out* buffer, size_t count, const std::basic_string<Out>& text)
{
    size_t len = text.size();
    size_t n = len < count ? len : count;
    for (size_t i = 0; i < n; i++) buffer[i] = text[i];
    if (len < count) {
        buffer[len] = 0;
        return (int)len;
    }
    return len == count ? (int)len : -1;
}

}  // namespace

extern "C" {

int _vsnprintf(char* Buffer, size_t Count, const char* Format_, va_list Args)
{
    va_list copy;
    va_copy(copy, Args);
    int r = Emit(Buffer, Count, Format<char>(Format_, copy));
    va_end(copy);
    return r;
}

int _snprintf(char* Buffer, size_t Count, const char* Format_, ...)
{
    va_list ap;
    va_start(ap, Format_);
    int r = _vsnprintf(Buffer, Count, Format_, ap);
    va_end(ap);
    return r;
}

int _vsnwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format_, va_list Args)
{
    va_list copy;
    va_copy(copy, Args);
    int r = Emit(Buffer, Count, Format<WCHAR>(Format_, copy));
    va_end(copy);
    return r;
}

int _snwprintf(WCHAR* Buffer, size_t Count, const WCHAR* Format_, ...)
{
    va_list ap;
    va_start(ap, Format_);
    int r = _vsnwprintf(Buffer, Count, Format_, ap);
    va_end(ap);
    return r;
}

}  // extern "C"
