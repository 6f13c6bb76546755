#include "json.h"

#include <cstdlib>

#include "cli.h"

namespace videoecho {

namespace {

class Parser {
public:
    explicit Parser(const std::string& text) : text_(text) {}

    JsonValue document() {
        JsonValue v = value(0);
        skipSpace();
        if (pos_ != text_.size()) {
            fail("trailing characters");
        }
        return v;
    }

private:
    [[noreturn]] void fail(const char* what) const {
        throw RunError(std::string("malformed benchmark report: ") + what + " at offset " +
                       std::to_string(pos_));
    }

    void skipSpace() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\n' ||
                                       text_[pos_] == '\r' || text_[pos_] == '\t')) {
            ++pos_;
        }
    }

    bool take(char c) {
        skipSpace();
        if (pos_ < text_.size() && text_[pos_] == c) {
            ++pos_;
            return true;
        }
        return false;
    }

    bool takeWord(const char* word) {
        const std::string w(word);
        if (text_.compare(pos_, w.size(), w) == 0) {
            pos_ += w.size();
            return true;
        }
        return false;
    }

    JsonValue value(int depth) {
        if (depth > 64) {
            fail("nesting too deep");
        }
        skipSpace();
        if (pos_ >= text_.size()) {
            fail("unexpected end");
        }
        JsonValue v;
        const char c = text_[pos_];
        if (c == '{') {
            ++pos_;
            v.kind = JsonValue::Kind::object;
            if (take('}')) {
                return v;
            }
            do {
                skipSpace();
                if (pos_ >= text_.size() || text_[pos_] != '"') {
                    fail("expected a member name");
                }
                std::string key = string();
                if (!take(':')) {
                    fail("expected ':'");
                }
                v.object[key] = value(depth + 1);
            } while (take(','));
            if (!take('}')) {
                fail("expected '}'");
            }
        } else if (c == '[') {
            ++pos_;
            v.kind = JsonValue::Kind::array;
            if (take(']')) {
                return v;
            }
            do {
                v.array.push_back(value(depth + 1));
            } while (take(','));
            if (!take(']')) {
                fail("expected ']'");
            }
        } else if (c == '"') {
            v.kind = JsonValue::Kind::string;
            v.string = string();
        } else if (takeWord("true")) {
            v.kind = JsonValue::Kind::boolean;
            v.boolean = true;
        } else if (takeWord("false")) {
            v.kind = JsonValue::Kind::boolean;
        } else if (takeWord("null")) {
            v.kind = JsonValue::Kind::null;
        } else {
            const char* start = text_.c_str() + pos_;
            char* end = nullptr;
            v.number = std::strtod(start, &end);
            if (end == start) {
                fail("unexpected character");
            }
            v.kind = JsonValue::Kind::number;
            pos_ += static_cast<size_t>(end - start);
        }
        return v;
    }

    std::string string() {
        ++pos_;  // the opening quote
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c == '\\') {
                if (pos_ >= text_.size()) {
                    fail("unterminated escape");
                }
                const char e = text_[pos_++];
                switch (e) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u':
                        // Names in benchmark reports are ASCII; keep a placeholder for others.
                        if (pos_ + 4 > text_.size()) {
                            fail("short \\u escape");
                        }
                        pos_ += 4;
                        c = '?';
                        break;
                    default:
                        c = e;
                        break;
                }
            }
            out.push_back(c);
        }
        if (pos_ >= text_.size()) {
            fail("unterminated string");
        }
        ++pos_;
        return out;
    }

    const std::string& text_;
    size_t pos_ = 0;
};

}  // namespace

const JsonValue* JsonValue::find(const std::string& key) const {
    if (kind != Kind::object) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &it->second;
}

JsonValue parseJson(const std::string& text) {
    return Parser(text).document();
}

}  // namespace videoecho
