#include "tools/cli/exporter_config.h"

#include <cmath>
#include <cstdlib>
#include <set>
#include <string_view>

#include "tools/cli/failure.h"
#include "tools/cli/files.h"

namespace kalax::cli {

namespace {

// A configuration of 99 units is a few kilobytes.
constexpr size_t kConfigLimit = 1u << 20;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

class Reader {
public:
    Reader(const std::string &origin, const EnvLookup &env) : origin_(origin), env_(env) {}

    ExporterConfig parse(const std::string &text) {
        size_t pos = 0;
        while (pos <= text.size()) {
            const size_t end = std::min(text.find('\n', pos), text.size());
            ++line_;
            take(trim(std::string_view(text).substr(pos, end - pos)));
            pos = end + 1;
        }
        finish_unit();
        return std::move(config_);
    }

private:
    [[noreturn]] void error(const std::string &what) const {
        throw UsageError(origin_ + ":" + std::to_string(line_) + ": " + what);
    }

    void take(std::string_view line) {
        if (line.empty() || line.front() == '#') return;
        if (line.front() == '[') {
            if (line.back() != ']') error("a section head ends with ']'");
            const std::string_view head = trim(line.substr(1, line.size() - 2));
            if (head.substr(0, 5) != "unit " && head.substr(0, 5) != "unit\t")
                error("unknown section '" + std::string(head) + "' (sections are [unit NAME])");
            const std::string name(trim(head.substr(5)));
            if (name.empty()) error("the unit has no name");
            if (!names_.insert(name).second) error("a second unit named '" + name + "'");
            finish_unit();
            unit_ = ConfiguredUnit{};
            unit_->name = name;
            unit_->line = line_;
            return;
        }
        const size_t eq = line.find('=');
        if (eq == std::string_view::npos) error("expected 'key = value' or '[unit NAME]'");
        const std::string key(trim(line.substr(0, eq)));
        const std::string value(trim(line.substr(eq + 1)));
        if (key.empty()) error("a line without a key");
        if (!unit_) {
            global(key, value);
            return;
        }
        if (!keys_.insert(key).second) error("'" + key + "' given twice for unit '" + unit_->name + "'");
        if (key == "host") {
            if (value.empty()) error("host needs a value");
            unit_->host = value;
        } else if (key == "user") {
            unit_->user = value;
        } else if (key == "password") {
            unit_->password = value;
        } else if (key == "user_env" || key == "password_env") {
            if (keys_.count(key.substr(0, key.size() - 4))) error("both " + key.substr(0, key.size() - 4) + " and " + key);
            const char *found = env_(value);
            if (found == nullptr) error("the environment variable '" + value + "' is not set");
            (key == "user_env" ? unit_->user : unit_->password) = found;
        } else if (key.substr(0, 6) == "label.") {
            const std::string name = key.substr(6);
            if (!allowed_label_name(name))
                error("'" + name + "' cannot be a label name (letters, digits and '_', not starting with a digit "
                      "or '__'; unit, id, name, device_name, mac, family and version are the exporter's own)");
            unit_->labels.emplace_back(name, value);
        } else {
            error("unknown key '" + key + "' (host, user, password, user_env, password_env, label.NAME)");
        }
        if ((key == "user" && keys_.count("user_env")) || (key == "password" && keys_.count("password_env")))
            error("both " + key + " and " + key + "_env");
    }

    void global(const std::string &key, const std::string &value) {
        if (!globals_.insert(key).second) error("'" + key + "' given twice");
        if (key == "listen") {
            if (value.empty()) error("listen needs ADDRESS:PORT");
            config_.listen = value;
        } else if (key == "scrape_timeout") {
            try {
                config_.scrape_timeout = parse_seconds(value, "scrape_timeout");
            } catch (const UsageError &e) {
                error(e.what());
            }
        } else {
            error("unknown key '" + key + "' before the first [unit NAME] (listen, scrape_timeout)");
        }
    }

    void finish_unit() {
        if (!unit_) return;
        if (unit_->host.empty()) {
            line_ = unit_->line;
            error("unit '" + unit_->name + "' has no host");
        }
        config_.units.push_back(std::move(*unit_));
        unit_.reset();
        keys_.clear();
    }

    const std::string &origin_;
    const EnvLookup &env_;
    int line_ = 0;
    ExporterConfig config_;
    std::optional<ConfiguredUnit> unit_;
    std::set<std::string> names_, keys_, globals_;
};

}  // namespace

ExporterConfig parse_exporter_config(const std::string &text, const std::string &origin, const EnvLookup &env) {
    ExporterConfig config = Reader(origin, env).parse(text);
    if (config.units.empty()) throw UsageError(origin + ": no [unit NAME] section");
    return config;
}

ExporterConfig read_exporter_config(const std::string &path) {
    return parse_exporter_config(read_file(path, kConfigLimit), path,
                                 [](const std::string &name) { return std::getenv(name.c_str()); });
}

std::chrono::milliseconds parse_seconds(const std::string &text, const std::string &what) {
    std::string number = text;
    if (!number.empty() && number.back() == 's') number.pop_back();
    char *end = nullptr;
    const double seconds = number.empty() ? NAN : std::strtod(number.c_str(), &end);
    if (number.empty() || end != number.c_str() + number.size() || !(seconds >= 0.05 && seconds <= 3600))
        throw UsageError("bad " + what + " '" + text + "' (seconds, 0.05 to 3600)");
    return std::chrono::milliseconds(static_cast<long long>(std::llround(seconds * 1000)));
}

bool allowed_label_name(const std::string &name) {
    static const std::set<std::string> own = {"unit", "id", "name", "device_name", "mac", "family", "version"};
    if (name.empty() || name.substr(0, 2) == "__" || own.count(name)) return false;
    if (name[0] >= '0' && name[0] <= '9') return false;
    for (const char ch : name)
        if (!((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '_'))
            return false;
    return true;
}

}  // namespace kalax::cli
