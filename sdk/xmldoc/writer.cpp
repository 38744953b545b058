#include "sdk/xmldoc/writer.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

#include "sdk/runtime/result_codes.h"
#include "sdk/xmldoc/records.h"
#include "sdk/xmldoc/sax.h"

namespace kalax::xmldoc {
namespace {

constexpr std::string_view kDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>";

// The document's shape comes from the field table: every "_" in a field's name
// is one element level, the containers (groups, Entry, Dest, Alarm, Report) are
// the shared prefixes of neighbouring fields, and a run of fields of one list is
// the body of its <Entry>, written once per entry in use. A plain field right
// after the entries of its own group's list (BinaryInSet's AlarmAction) is set
// off by an empty line.
enum class Op { Open, Close, Blank, Field, Repeat };

struct Step {
    Op op;
    std::string_view name;  // element name (Open, Close, Field)
    int field = -1;         // Field: index into the field table
    int list = -1;          // Repeat: the list whose count says how often
    size_t end = 0;         // Repeat: index one past the body
};

std::vector<std::string_view> components(const char *key) {
    std::vector<std::string_view> parts;
    const std::string_view k(key);
    size_t start = 0;
    for (size_t i = 0; i <= k.size(); ++i) {
        if (i == k.size() || k[i] == '_') {
            parts.push_back(k.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::vector<Step> build_plan(std::span<const FieldDesc> fields) {
    std::vector<Step> plan;
    std::vector<std::string_view> open;  // containers open at this point, "Root" first
    auto sync = [&](const std::vector<std::string_view> &target, size_t keep) {
        size_t common = 0;
        while (common < open.size() && common < keep && open[common] == target[common]) ++common;
        while (open.size() > common) {
            plan.push_back({Op::Close, open.back()});
            open.pop_back();
        }
        for (size_t i = common; i < keep; ++i) {
            plan.push_back({Op::Open, target[i]});
            open.push_back(target[i]);
        }
    };
    size_t repeat = 0;
    int prev_list = -1;
    std::string_view prev_group;
    auto end_entries = [&] {
        // Entry is the third level: Root, the list's group, Entry.
        const std::vector<std::string_view> entry(open.begin(), open.begin() + 3);
        sync(entry, 3);
        plan.push_back({Op::Close, open.back()});
        open.pop_back();
        plan[repeat].end = plan.size();
    };

    for (size_t k = 0; k < fields.size(); ++k) {
        const FieldDesc &f = fields[k];
        const std::vector<std::string_view> parts = components(f.key);
        if (prev_list >= 0 && f.list != prev_list) end_entries();
        if (f.list >= 0 && f.list != prev_list) {
            sync(parts, 2);
            repeat = plan.size();
            plan.push_back({Op::Repeat, {}, -1, f.list});
            plan.push_back({Op::Open, parts[2]});
            open.push_back(parts[2]);
        }
        if (f.list < 0 && prev_list >= 0 && parts[1] == prev_group) plan.push_back({Op::Blank, {}});
        sync(parts, parts.size() - 1);
        plan.push_back({Op::Field, parts.back(), static_cast<int>(k)});
        prev_list = f.list;
        prev_group = parts[1];
    }
    if (prev_list >= 0) end_entries();
    sync({}, 0);
    return plan;
}

const std::vector<Step> &setup_plan() {
    static const std::vector<Step> plan = build_plan(setup_fields());
    return plan;
}

// Appends into the caller's buffer, always leaving room for the terminator.
class Output {
public:
    Output(char *buf, size_t capacity) : buf_(buf), capacity_(capacity) {}
    void put(std::string_view s) {
        if (full_) return;
        if (s.size() >= capacity_ - len_) {
            full_ = true;
            return;
        }
        std::memcpy(buf_ + len_, s.data(), s.size());
        len_ += s.size();
    }
    // A field's text as element content: "&", "<" and ">" as entities, so
    // that the document is well-formed and the unit reads the text as written.
    void text(std::string_view s) {
        put_escaped(s, [this](std::string_view piece) { put(piece); });
    }
    void tag(std::string_view open, std::string_view name) {
        put(open);
        put(name);
        put(">");
    }
    bool full() const { return full_; }
    size_t size() const { return len_; }

private:
    char *buf_;
    size_t capacity_;
    size_t len_ = 0;
    bool full_ = false;
};

struct Writer {
    const std::vector<Step> &plan;
    std::span<const FieldDesc> fields;
    std::span<const ListDesc> lists;
    const zxxml_setup_struct &record;
    const zxxml_setup_count_struct &counts;
    Output &out;

    void run(size_t begin, size_t end, int slot) {
        for (size_t i = begin; i < end && !out.full(); ++i) {
            const Step &s = plan[i];
            switch (s.op) {
            case Op::Open:
                out.tag("\n<", s.name);
                break;
            case Op::Close:
                out.tag("\n</", s.name);
                break;
            case Op::Blank:
                out.put("\n");
                break;
            case Op::Field: {
                const FieldDesc &f = fields[static_cast<size_t>(s.field)];
                const char *text = field_slot(&record, f, f.list >= 0 ? slot : 0);
                out.tag("\n<", s.name);
                out.text(std::string_view(text, strnlen(text, static_cast<size_t>(f.width))));
                out.tag("</", s.name);
                break;
            }
            case Op::Repeat: {
                const int capacity = lists[static_cast<size_t>(s.list)].capacity;
                const int count = std::clamp(count_at(&counts, s.list), 0, capacity);
                for (int k = 0; k < count; ++k) run(i + 1, s.end, k);
                i = s.end - 1;
                break;
            }
            }
        }
    }
};

}  // namespace

int write_setup(const zxxml_setup_struct &setup, const zxxml_setup_count_struct &counts, char *text,
                size_t capacity) {
    if (text == nullptr) return kNULL_POINTER;
    if (capacity == 0) return kBUFFER_FULL;
    const std::vector<Step> *plan;
    try {
        plan = &setup_plan();
    } catch (const std::bad_alloc &) {
        text[0] = '\0';
        return kMEMORY;
    }
    Output out(text, capacity);
    out.put(kDeclaration);
    Writer{*plan, setup_fields(), setup_lists(), setup, counts, out}.run(0, plan->size(), 0);
    if (out.full()) {
        text[0] = '\0';
        return kBUFFER_FULL;
    }
    text[out.size()] = '\0';
    return 0;
}

}  // namespace kalax::xmldoc
