#include "unitsim/xml.h"

#include <cstdint>

namespace kalax::sim::xml {

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

void leaf(std::string& out, std::string_view name, std::string_view text) {
    out += '<';
    out += name;
    out += '>';
    out += escape(text);
    out += "</";
    out += name;
    out += ">\n";
}

const Node* Node::child(std::string_view local_name) const {
    for (const Node& c : children) {
        if (c.local == local_name) return &c;
    }
    return nullptr;
}

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_name_char(char c) {
    return !is_space(c) && c != '/' && c != '>' && c != '<' && c != '=' && c != '"' && c != '\'' &&
           c != '&' && c != '\0';
}

void append_utf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Reader {
public:
    Reader(std::string_view doc, int max_depth) : s_(doc), max_depth_(max_depth) {}

    bool run(Node& root, std::string& error) {
        if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
        bool have_root = false;
        while (pos_ < s_.size()) {
            if (is_space(s_[pos_])) {
                ++pos_;
                continue;
            }
            if (s_[pos_] != '<') return fail(error, "text outside the root element");
            if (starts("<?")) {
                if (!skip_past("?>")) return fail(error, "unterminated processing instruction");
            } else if (starts("<!--")) {
                if (!skip_past("-->")) return fail(error, "unterminated comment");
            } else if (starts("<!DOCTYPE")) {
                if (have_root) return fail(error, "DOCTYPE after the root");
                if (!skip_doctype()) return fail(error, "unterminated DOCTYPE");
            } else if (starts("<!") || starts("</")) {
                return fail(error, "unexpected markup outside the root");
            } else {
                if (have_root) return fail(error, "more than one root element");
                if (!element(root, error)) return false;
                have_root = true;
            }
        }
        if (!have_root) return fail(error, "no root element");
        return true;
    }

private:
    static bool fail(std::string& error, const char* why) {
        error = why;
        return false;
    }

    bool starts(std::string_view p) const { return s_.substr(pos_, p.size()) == p; }

    bool skip_past(std::string_view end) {
        size_t at = s_.find(end, pos_);
        if (at == std::string_view::npos) return false;
        pos_ = at + end.size();
        return true;
    }

    bool skip_doctype() {
        int bracket = 0;
        for (size_t i = pos_ + 2; i < s_.size(); ++i) {
            if (s_[i] == '[') ++bracket;
            else if (s_[i] == ']') --bracket;
            else if (s_[i] == '>' && bracket <= 0) {
                pos_ = i + 1;
                return true;
            }
        }
        return false;
    }

    bool name(std::string& out) {
        size_t start = pos_;
        while (pos_ < s_.size() && is_name_char(s_[pos_])) ++pos_;
        if (pos_ == start) return false;
        char first = s_[start];
        if ((first >= '0' && first <= '9') || first == '-' || first == '.') return false;
        out.assign(s_.substr(start, pos_ - start));
        return true;
    }

    static std::string local_of(const std::string& n) {
        size_t colon = n.rfind(':');
        return colon == std::string::npos ? n : n.substr(colon + 1);
    }

    // Reads an entity reference at pos_ ('&') and appends its character.
    bool entity(std::string& out) {
        size_t semi = s_.find(';', pos_);
        if (semi == std::string_view::npos || semi - pos_ > 12) return false;
        std::string_view ref = s_.substr(pos_ + 1, semi - pos_ - 1);
        pos_ = semi + 1;
        if (ref == "amp") out += '&';
        else if (ref == "lt") out += '<';
        else if (ref == "gt") out += '>';
        else if (ref == "quot") out += '"';
        else if (ref == "apos") out += '\'';
        else if (ref.size() > 1 && ref[0] == '#') {
            uint32_t cp = 0;
            bool hex = ref[1] == 'x';
            std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty()) return false;
            for (char c : digits) {
                uint32_t d;
                if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
                else if (hex && c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
                else if (hex && c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
                else return false;
                cp = cp * (hex ? 16 : 10) + d;
                if (cp > 0x10FFFF) return false;
            }
            if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            append_utf8(out, cp);
        } else {
            return false;
        }
        return true;
    }

    bool attributes(std::string& error, bool& self_closing) {
        for (;;) {
            while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
            if (pos_ >= s_.size()) return fail(error, "unterminated start tag");
            if (s_[pos_] == '>') {
                ++pos_;
                self_closing = false;
                return true;
            }
            if (starts("/>")) {
                pos_ += 2;
                self_closing = true;
                return true;
            }
            std::string attr;
            if (!name(attr)) return fail(error, "bad attribute name");
            while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
            if (pos_ >= s_.size() || s_[pos_] != '=') return fail(error, "attribute without value");
            ++pos_;
            while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
            if (pos_ >= s_.size() || (s_[pos_] != '"' && s_[pos_] != '\'')) {
                return fail(error, "unquoted attribute value");
            }
            char quote = s_[pos_++];
            std::string ignored;
            while (pos_ < s_.size() && s_[pos_] != quote) {
                if (s_[pos_] == '<') return fail(error, "'<' in attribute value");
                if (s_[pos_] == '&') {
                    if (!entity(ignored)) return fail(error, "bad entity reference");
                } else {
                    ++pos_;
                }
            }
            if (pos_ >= s_.size()) return fail(error, "unterminated attribute value");
            ++pos_;
        }
    }

    // Start tag at pos_; builds the element and everything inside it without
    // recursion, so hostile nesting cannot exhaust the stack.
    bool element(Node& root, std::string& error) {
        std::vector<Node> stack;
        for (;;) {
            if (s_[pos_] == '<' && !starts("</") && !starts("<!") && !starts("<?")) {
                ++pos_;
                Node n;
                if (!name(n.name)) return fail(error, "bad element name");
                n.local = local_of(n.name);
                bool self_closing = false;
                if (!attributes(error, self_closing)) return false;
                if (self_closing) {
                    if (stack.empty()) {
                        root = std::move(n);
                        return true;
                    }
                    stack.back().children.push_back(std::move(n));
                } else {
                    if (static_cast<int>(stack.size()) >= max_depth_) return fail(error, "nesting too deep");
                    stack.push_back(std::move(n));
                }
            } else if (starts("</")) {
                pos_ += 2;
                std::string end;
                if (!name(end)) return fail(error, "bad end tag");
                while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
                if (pos_ >= s_.size() || s_[pos_] != '>') return fail(error, "unterminated end tag");
                ++pos_;
                if (stack.empty() || stack.back().name != end) return fail(error, "mismatched end tag");
                Node done = std::move(stack.back());
                stack.pop_back();
                if (stack.empty()) {
                    root = std::move(done);
                    return true;
                }
                stack.back().children.push_back(std::move(done));
            } else if (starts("<!--")) {
                if (!skip_past("-->")) return fail(error, "unterminated comment");
            } else if (starts("<![CDATA[")) {
                size_t end = s_.find("]]>", pos_ + 9);
                if (end == std::string_view::npos) return fail(error, "unterminated CDATA section");
                stack.back().text.append(s_.substr(pos_ + 9, end - pos_ - 9));
                pos_ = end + 3;
            } else if (starts("<?")) {
                if (!skip_past("?>")) return fail(error, "unterminated processing instruction");
            } else if (starts("<!")) {
                return fail(error, "unexpected declaration inside an element");
            } else if (s_[pos_] == '&') {
                if (!entity(stack.back().text)) return fail(error, "bad entity reference");
            } else {
                stack.back().text += s_[pos_++];
            }
            if (pos_ >= s_.size()) return fail(error, "unclosed element");
        }
    }

    std::string_view s_;
    size_t pos_ = 0;
    int max_depth_;
};

}  // namespace

bool parse(std::string_view doc, Node& root, std::string& error, int max_depth) {
    root = Node{};
    Reader r(doc, max_depth);
    return r.run(root, error);
}

}  // namespace kalax::sim::xml
