// The registry tree: keys, values and the rules every interface to it shares (the
// kernel's Zw*/Rtl* routines, user mode, the text form). One lock guards the tree;
// nothing is called out of it while the lock is held.
#include <algorithm>
#include <map>

#include "registry_internal.h"

namespace kwsim::detail {

bool SameName(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++)
        if (RtlUpcaseUnicodeChar(a[i]) != RtlUpcaseUnicodeChar(b[i])) return false;
    return true;
}

}  // namespace kwsim::detail

namespace kwsim {
using detail::SameName;

struct RegNode {
    std::u16string name;
    std::u16string className;
    RegNode* parent = nullptr;  // null once deleted (a key is deleted only without subkeys)
    std::map<std::u16string, RegKey> subkeys;  // by upcased name: the enumeration order
    std::vector<RegValue> values;              // in the order first set
    int64_t lastWrite = 0;
    bool isVolatile = false;
    bool deleted = false;
    // Only the system adds keys below the root and the hive mount points; the keys it
    // mounts there (the hives) cannot be deleted.
    bool mountPoint = false;
    bool hive = false;
    std::u16string pathWhenDeleted;
};

const char16_t* const kRtlRegistryRoots[RTL_REGISTRY_MAXIMUM] = {
    nullptr,
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services",
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control",
    u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion",
    u"\\Registry\\Machine\\Hardware\\DeviceMap",
    u"\\Registry\\User\\.Default",
};

namespace {

std::u16string Upcase(std::u16string_view s)
{
    std::u16string u(s);
    for (auto& c : u) c = RtlUpcaseUnicodeChar(c);
    return u;
}

int64_t SystemTime()
{
    LARGE_INTEGER t;
    KeQuerySystemTime(&t);
    return t.QuadPart;
}

RegKey NewNode(RegNode* parent, std::u16string_view name, bool isVolatile, std::u16string_view className)
{
    auto n = std::make_shared<RegNode>();
    n->name = name;
    n->className = className;
    n->parent = parent;
    n->isVolatile = isVolatile;
    n->lastWrite = SystemTime();
    if (parent) {
        n->hive = parent->mountPoint;
        parent->subkeys[Upcase(name)] = n;
        parent->lastWrite = n->lastWrite;
    }
    return n;
}

std::u16string PathLocked(const RegNode* n)
{
    if (n->deleted) return n->pathWhenDeleted;
    std::u16string path;
    for (; n; n = n->parent) path.insert(0, u"\\" + n->name);
    return path;
}

void Unlink(RegNode* n)
{
    n->pathWhenDeleted = PathLocked(n);
    n->deleted = true;
    if (n->parent) {
        n->parent->subkeys.erase(Upcase(n->name));
        n->parent->lastWrite = SystemTime();
        n->parent = nullptr;
    }
}

void DeleteBelow(RegNode* n)
{
    while (!n->subkeys.empty()) {
        RegKey child = n->subkeys.begin()->second;
        DeleteBelow(child.get());
        Unlink(child.get());
    }
}

RegValue* FindValue(RegNode* n, std::u16string_view name)
{
    for (auto& v : n->values)
        if (SameName(v.name, name)) return &v;
    return nullptr;
}

void FillInfo(const RegNode* n, RegKeyInfo* info)
{
    info->name = n->name;
    info->className = n->className;
    info->lastWriteTime = n->lastWrite;
    info->subKeys = (ULONG)n->subkeys.size();
    info->values = (ULONG)n->values.size();
    info->maxSubKeyNameBytes = info->maxClassBytes = info->maxValueNameBytes = info->maxValueDataBytes = 0;
    for (auto& [upper, child] : n->subkeys) {
        info->maxSubKeyNameBytes = std::max(info->maxSubKeyNameBytes, (ULONG)(child->name.size() * 2));
        info->maxClassBytes = std::max(info->maxClassBytes, (ULONG)(child->className.size() * 2));
    }
    for (auto& v : n->values) {
        info->maxValueNameBytes = std::max(info->maxValueNameBytes, (ULONG)(v.name.size() * 2));
        info->maxValueDataBytes = std::max(info->maxValueDataBytes, (ULONG)v.data.size());
    }
    info->isVolatile = n->isVolatile;
}

}  // namespace

// Splits a path into its key names. Trailing backslashes are ignored; an empty
// component is not a name. An absolute path must name a key below the root.
NTSTATUS Registry::Split(std::u16string_view path, bool absolute, std::vector<std::u16string_view>* parts)
{
    if (absolute != (!path.empty() && path[0] == u'\\')) return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (absolute) path.remove_prefix(1);
    while (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    parts->clear();
    while (!path.empty()) {
        size_t end = path.find(u'\\');
        std::u16string_view part = path.substr(0, end);
        if (part.empty()) return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(part);
        path = end == std::u16string_view::npos ? std::u16string_view() : path.substr(end + 1);
    }
    if (absolute) {
        if (parts->empty()) return STATUS_OBJECT_TYPE_MISMATCH;  // the namespace root is no key
        if (!root_ || !SameName(parts->front(), root_->name)) return STATUS_OBJECT_NAME_NOT_FOUND;
        parts->erase(parts->begin());
    }
    return STATUS_SUCCESS;
}

// Resolves `path` from base (or the root); with allButLast the last name is left in
// *last for the caller (empty when the path names base itself).
NTSTATUS Registry::Walk(const RegKey& base, std::u16string_view path, bool allButLast, RegKey* key,
                        std::u16string_view* last)
{
    if (base && base->deleted) return STATUS_KEY_DELETED;
    std::vector<std::u16string_view> parts;
    NTSTATUS status = Split(path, !base, &parts);
    if (!NT_SUCCESS(status)) return status;
    if (allButLast) {
        *last = parts.empty() ? std::u16string_view() : parts.back();
        if (!parts.empty()) parts.pop_back();
    }
    RegKey cur = base ? base : root_;
    for (auto part : parts) {
        auto it = cur->subkeys.find(Upcase(part));
        if (it == cur->subkeys.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
        cur = it->second;
    }
    *key = cur;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::Open(const RegKey& base, std::u16string_view path, RegKey* key)
{
    std::lock_guard<std::mutex> lk(mu_);
    return Walk(base, path, false, key, nullptr);
}

NTSTATUS Registry::Create(const RegKey& base, std::u16string_view path, ULONG options, RegKey* key,
                          ULONG* disposition, std::u16string_view className)
{
    if (options & ~REG_OPTION_VOLATILE) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> lk(mu_);
    RegKey parent;
    std::u16string_view last;
    NTSTATUS status = Walk(base, path, true, &parent, &last);
    if (!NT_SUCCESS(status)) return status;
    if (last.empty()) {  // the base itself
        *key = parent;
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    auto it = parent->subkeys.find(Upcase(last));
    if (it != parent->subkeys.end()) {
        *key = it->second;
        if (disposition) *disposition = REG_OPENED_EXISTING_KEY;
        return STATUS_SUCCESS;
    }
    if (parent->mountPoint) return STATUS_ACCESS_DENIED;
    bool isVolatile = (options & REG_OPTION_VOLATILE) != 0;
    if (parent->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    *key = NewNode(parent.get(), last, isVolatile, className);
    if (disposition) *disposition = REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::CreatePath(std::u16string_view absolutePath, RegKey* key)
{
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<std::u16string_view> parts;
    NTSTATUS status = Split(absolutePath, true, &parts);
    if (!NT_SUCCESS(status)) return status;
    RegKey cur = root_;
    for (auto part : parts) {
        auto it = cur->subkeys.find(Upcase(part));
        cur = it != cur->subkeys.end() ? it->second : NewNode(cur.get(), part, cur->isVolatile, {});
    }
    if (key) *key = cur;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::Delete(const RegKey& key)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (!key->subkeys.empty() || key->mountPoint || key->hive || !key->parent) return STATUS_CANNOT_DELETE;
    Unlink(key.get());
    return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteTree(const RegKey& key)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (key->mountPoint || key->hive || !key->parent) return STATUS_CANNOT_DELETE;
    DeleteBelow(key.get());
    Unlink(key.get());
    return STATUS_SUCCESS;
}

NTSTATUS Registry::SetValue(const RegKey& key, std::u16string_view name, ULONG type, const void* data, size_t size)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    RegValue* v = FindValue(key.get(), name);
    if (!v) {
        key->values.push_back(RegValue{std::u16string(name), type, {}});
        v = &key->values.back();
    }
    v->type = type;
    v->data.assign(bytes, bytes + (bytes ? size : 0));
    key->lastWrite = SystemTime();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryValue(const RegKey& key, std::u16string_view name, RegValue* value)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    RegValue* v = FindValue(key.get(), name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    *value = *v;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::DeleteValue(const RegKey& key, std::u16string_view name)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    RegValue* v = FindValue(key.get(), name);
    if (!v) return STATUS_OBJECT_NAME_NOT_FOUND;
    key->values.erase(key->values.begin() + (v - key->values.data()));
    key->lastWrite = SystemTime();
    return STATUS_SUCCESS;
}

NTSTATUS Registry::EnumKey(const RegKey& key, ULONG index, RegKeyInfo* info)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->subkeys.size()) return STATUS_NO_MORE_ENTRIES;
    auto it = key->subkeys.begin();
    std::advance(it, index);
    FillInfo(it->second.get(), info);
    return STATUS_SUCCESS;
}

NTSTATUS Registry::EnumValue(const RegKey& key, ULONG index, RegValue* value)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    if (index >= key->values.size()) return STATUS_NO_MORE_ENTRIES;
    *value = key->values[index];
    return STATUS_SUCCESS;
}

NTSTATUS Registry::QueryKey(const RegKey& key, RegKeyInfo* info)
{
    std::lock_guard<std::mutex> lk(mu_);
    if (key->deleted) return STATUS_KEY_DELETED;
    FillInfo(key.get(), info);
    return STATUS_SUCCESS;
}

std::u16string Registry::PathOf(const RegKey& key)
{
    std::lock_guard<std::mutex> lk(mu_);
    return PathLocked(key.get());
}

bool Registry::IsDeleted(const RegKey& key)
{
    std::lock_guard<std::mutex> lk(mu_);
    return key->deleted;
}

void Registry::Reset()
{
    std::lock_guard<std::mutex> lk(mu_);
    if (root_) {
        // References kept from the last boot see deleted keys.
        DeleteBelow(root_.get());
        Unlink(root_.get());
    }
    root_ = NewNode(nullptr, u"Registry", false, {});
    root_->mountPoint = true;
    RegKey machine = NewNode(root_.get(), u"Machine", false, {});
    RegKey user = NewNode(root_.get(), u"User", false, {});
    machine->mountPoint = user->mountPoint = true;
    auto chain = [](RegKey k, std::initializer_list<const char16_t*> names) {
        for (const char16_t* n : names) {
            auto it = k->subkeys.find(Upcase(n));
            k = it != k->subkeys.end() ? it->second : NewNode(k.get(), n, false, {});
        }
        return k;
    };
    RegKey ccs = chain(machine, {u"System", u"CurrentControlSet"});
    chain(ccs, {u"Services"});
    // Every Windows installation has the System event log; drivers register as its
    // sources below it.
    chain(ccs, {u"Services", u"EventLog", u"System"});
    chain(ccs, {u"Control"});
    chain(ccs, {u"Enum"});
    chain(machine, {u"Software", u"Microsoft", u"Windows NT", u"CurrentVersion"});
    chain(machine, {u"Hardware", u"DeviceMap"});
    chain(user, {u".Default"});
}

Registry& GetRegistry()
{
    static Registry registry;
    return registry;
}

}  // namespace kwsim
