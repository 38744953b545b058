#include "ax/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ax/codepage.h"
#include "ax/com.h"
#include "sdk/runtime/platform_files.h"

namespace kalax::ax {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
constexpr std::string_view kEol = "\r\n";

struct Value {
    std::string name;  // as written between the quotes (decoded), "" for @
    bool is_default = false;
    std::string raw;  // everything after '=', as in the file
};

struct Key {
    std::string path;  // Windows-1252 bytes, as in the file
    std::vector<Value> values;
};

struct Model {
    std::vector<Key> keys;

    Key *find(std::string_view path) {
        for (Key &k : keys)
            if (iequals(k.path, path)) return &k;
        return nullptr;
    }
};

std::string error_text(const std::string &path, int err) {
    return path + ": " + std::strerror(err);
}

// Reads a quoted REGEDIT4 string starting at s[at] == '"'; `at` ends past the
// closing quote.
bool unquote(std::string_view s, size_t &at, std::string &out) {
    out.clear();
    if (at >= s.size() || s[at] != '"') return false;
    for (++at; at < s.size(); ++at) {
        if (s[at] == '\\' && at + 1 < s.size()) {
            out.push_back(s[++at]);
        } else if (s[at] == '"') {
            ++at;
            return true;
        } else {
            out.push_back(s[at]);
        }
    }
    return false;
}

std::string quote(std::string_view bytes) {
    std::string out = "\"";
    for (char c : bytes) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

// A file missing is an empty registry; anything else that is not REGEDIT4
// text is refused, so a writer never replaces a file it does not understand.
bool parse(std::string_view text, Model &model, std::string &error) {
    model.keys.clear();
    size_t at = 0;
    bool header = false;
    Key *current = nullptr;
    bool skipping = false;  // inside a [-key] section
    int line_no = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(at, end - at));
        at = end + 1;
        ++line_no;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // A value continued on the next line ends with a backslash (hex data).
        while (!line.empty() && line.back() == '\\' && line.find("=\"") == std::string::npos && at < text.size()) {
            size_t e2 = text.find('\n', at);
            if (e2 == std::string_view::npos) e2 = text.size();
            line.pop_back();
            std::string more(text.substr(at, e2 - at));
            if (!more.empty() && more.back() == '\r') more.pop_back();
            const size_t lead = more.find_first_not_of(" \t");
            line += lead == std::string::npos ? "" : more.substr(lead);
            at = e2 + 1;
            ++line_no;
        }
        if (!header) {
            if (line.empty()) continue;
            if (line.size() >= 3 && static_cast<unsigned char>(line[0]) == 0xEF) line.erase(0, 3);  // UTF-8 mark
            if (line != kHeader) {
                error = "not a REGEDIT4 file (first line \"" + line.substr(0, 40) + "\")";
                return false;
            }
            header = true;
            continue;
        }
        if (line.empty() || line[0] == ';') continue;
        if (line[0] == '[') {
            const size_t close = line.rfind(']');
            if (close == std::string::npos) {
                error = "line " + std::to_string(line_no) + ": a key without ']'";
                return false;
            }
            std::string path = line.substr(1, close - 1);
            skipping = !path.empty() && path[0] == '-';
            if (skipping) continue;
            current = model.find(path);
            if (!current) {
                model.keys.push_back({path, {}});
                current = &model.keys.back();
            }
            continue;
        }
        if (skipping) continue;
        if (!current) {
            error = "line " + std::to_string(line_no) + ": a value outside a key";
            return false;
        }
        Value v;
        size_t pos = 0;
        if (line[0] == '@') {
            v.is_default = true;
            pos = 1;
        } else if (!unquote(line, pos, v.name)) {
            error = "line " + std::to_string(line_no) + ": a value name without its quotes";
            return false;
        }
        if (pos >= line.size() || line[pos] != '=') {
            error = "line " + std::to_string(line_no) + ": '=' missing";
            return false;
        }
        v.raw = line.substr(pos + 1);
        bool replaced = false;
        for (Value &old : current->values)
            if (old.is_default == v.is_default && iequals(old.name, v.name)) {
                old = v;
                replaced = true;
            }
        if (!replaced) current->values.push_back(std::move(v));
    }
    return true;
}

std::string render(const Model &model) {
    std::string out(kHeader);
    out += kEol;
    out += kEol;
    for (const Key &k : model.keys) {
        out += "[" + k.path + "]";
        out += kEol;
        for (const Value &v : k.values) {
            out += v.is_default ? "@" : quote(v.name);
            out += "=" + v.raw;
            out += kEol;
        }
        out += kEol;
    }
    return out;
}

// UTF-8 to the file's code page.
bool to_file_text(std::string_view utf8, std::string &out) {
    std::u16string wide;
    return utf8_to_utf16(utf8, wide) && cp1252_encode(wide, out);
}

std::string from_file_text(std::string_view bytes) {
    std::string out;
    utf16_to_utf8(cp1252_decode(bytes), out);  // never fails: the page has no surrogates
    return out;
}

HRESULT load(const std::string &path, Model &model, std::string &error) {
    std::string text;
    int err = 0;
    if (!platform::file_read(path, text, err)) {
        if (err == ENOENT) {
            model.keys.clear();
            return S_OK;
        }
        error = error_text(path, err);
        return REGDB_E_READREGDB;
    }
    if (!parse(text, model, error)) {
        error = path + ": " + error;
        return REGDB_E_READREGDB;
    }
    return S_OK;
}

std::string default_user_file() {
    if (const char *r = std::getenv("KALAX_REGISTRY"); r && *r) return r;
    std::string base;
    if (const char *x = std::getenv("XDG_DATA_HOME"); x && *x == '/') {
        base = x;
    } else {
        const char *home = std::getenv("HOME");
        base = std::string(home && *home ? home : ".") + "/.local/share";
    }
    return base + "/kalax/registry.reg";
}

HRESULT lookup(const Model &model, const std::string &key, const std::string &name, std::string &out) {
    for (const Key &k : model.keys) {
        if (!iequals(k.path, key)) continue;
        for (const Value &v : k.values) {
            if (v.is_default != name.empty() || !iequals(v.name, name)) continue;
            size_t pos = 0;
            std::string bytes;
            if (!unquote(v.raw, pos, bytes) || pos != v.raw.size()) return S_FALSE;
            out = from_file_text(bytes);
            return S_OK;
        }
        return S_FALSE;
    }
    return S_FALSE + 1;  // key missing: look beneath
}

}  // namespace

Registry::Registry() : Registry(default_user_file(), kSystemRegistry) {}

Registry::Registry(std::string user_file, std::string system_file)
    : user_(std::move(user_file)), system_(std::move(system_file)) {}

HRESULT Registry::get_string(std::string_view key, std::string_view name, std::string &out, std::string *error) const {
    std::string k, n, why;
    if (!to_file_text(key, k) || !to_file_text(name, n)) return S_FALSE;  // cannot be in the file
    for (const std::string *path : {&user_, &system_}) {
        if (path->empty()) continue;
        Model model;
        const HRESULT hr = load(*path, model, why);
        if (FAILED(hr)) {
            if (error) *error = why;
            return hr;
        }
        const HRESULT found = lookup(model, k, n, out);
        if (found != S_FALSE + 1) return found;
    }
    return S_FALSE;
}

HRESULT Registry::apply(const std::vector<RegistryChange> &changes, std::string *error) const {
    std::string why;
    const auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return REGDB_E_WRITEREGDB;
    };
    const size_t slash = user_.rfind('/');
    int err = 0;
    if (slash != std::string::npos && slash > 0 && !platform::folder_make(user_.substr(0, slash), err))
        return fail(error_text(user_.substr(0, slash), err));
    // A lock file of its own: the registry file is replaced, so a lock on it
    // would be lost with the old file.
    platform::FileLock lock;
    if (!lock.lock(user_ + ".lock", err)) return fail(error_text(user_ + ".lock", err));
    Model model;
    if (FAILED(load(user_, model, why))) return fail(why);
    for (const RegistryChange &c : changes) {
        std::string key;
        if (!to_file_text(c.key, key) || key.empty() || key.find_first_of("[]\r\n") != std::string::npos)
            return fail("key \"" + c.key + "\" cannot be written (a character outside Windows-1252, or [ ] or a line end)");
        if (c.kind == RegistryChange::DeleteTree) {
            std::vector<Key> kept;
            for (Key &k : model.keys) {
                const bool under = k.path.size() > key.size() && k.path[key.size()] == '\\' &&
                                   iequals(std::string_view(k.path).substr(0, key.size()), key);
                if (!iequals(k.path, key) && !under) kept.push_back(std::move(k));
            }
            model.keys = std::move(kept);
            continue;
        }
        std::string name, data;
        if (!to_file_text(c.name, name) || !to_file_text(c.data, data) ||
            (c.name + c.data).find_first_of("\r\n") != std::string::npos)
            return fail("value of \"" + c.key + "\" cannot be written (a character outside Windows-1252 or a line end)");
        Key *k = model.find(key);
        if (!k) {
            model.keys.push_back({key, {}});
            k = &model.keys.back();
        }
        Value v{name, name.empty(), quote(data)};
        bool replaced = false;
        for (Value &old : k->values)
            if (old.is_default == v.is_default && iequals(old.name, v.name)) {
                old.raw = v.raw;  // the name keeps its first spelling
                replaced = true;
            }
        if (!replaced) k->values.push_back(std::move(v));
    }
    if (!platform::file_replace(user_, render(model), err)) return fail(error_text(user_, err));
    return S_OK;
}

}  // namespace kalax::ax
