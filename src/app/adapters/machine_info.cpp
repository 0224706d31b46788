#include "app/adapters/machine_info.h"

#include "text/utf8.h"

namespace quorvel::app {

namespace {

constexpr std::string_view kWhitespace = " \t\n\r";
constexpr std::string_view kNewline = "\n\r";
// What a backslash escapes inside double quotes, as in the shell.
constexpr std::string_view kDoubleQuoteEscapes = "\"\\`$";

bool isOneOf(char c, std::string_view set) {
    return set.find(c) != std::string_view::npos;
}

// One key=value file read character by character, as systemd's environment-file parser
// does, keeping only the value of `wanted`.
class AssignmentReader {
public:
    explicit AssignmentReader(std::string_view wanted) : wanted_(wanted) {}

    void feed(char c) {
        switch (state_) {
            case State::preKey:
                if (c == '#' || c == ';') state_ = State::comment;
                else if (!isOneOf(c, kWhitespace)) startKey(c);
                break;
            case State::key:
                if (isOneOf(c, kNewline)) state_ = State::preKey;  // a line without '=' means nothing
                else if (c == '=') state_ = State::preValue;
                else appendTrimmed(key_, keyTrim_, c);
                break;
            case State::preValue:
                if (isOneOf(c, kNewline)) commit();
                else if (c == '\'') state_ = State::singleQuoted;
                else if (c == '"') state_ = State::doubleQuoted;
                else if (c == '\\') state_ = State::escaped;
                else if (!isOneOf(c, kWhitespace)) appendPlain(c);
                break;
            case State::plain:
                if (isOneOf(c, kNewline)) commit();
                else if (c == '\\') {
                    state_ = State::escaped;
                    valueTrim_ = std::string::npos;
                } else appendTrimmed(value_, valueTrim_, c);
                break;
            case State::escaped:  // a backslash before a newline continues the line
                state_ = State::plain;
                if (!isOneOf(c, kNewline)) value_ += c;
                break;
            case State::singleQuoted:
                if (c == '\'') state_ = State::preValue;
                else value_ += c;
                break;
            case State::doubleQuoted:
                if (c == '"') state_ = State::preValue;
                else if (c == '\\') state_ = State::doubleQuotedEscape;
                else value_ += c;
                break;
            case State::doubleQuotedEscape:
                state_ = State::doubleQuoted;
                if (isOneOf(c, kDoubleQuoteEscapes)) value_ += c;
                else if (c != '\n') value_ += std::string{'\\', c};
                break;
            case State::comment:
                if (c == '\\') state_ = State::commentEscape;
                else if (isOneOf(c, kNewline)) state_ = State::preKey;
                break;
            case State::commentEscape:  // an escaped newline continues the comment
                state_ = State::comment;
                break;
        }
    }

    // The end of the text ends an assignment in progress.
    std::optional<std::string> finish() {
        if (state_ != State::preKey && state_ != State::key && state_ != State::comment &&
            state_ != State::commentEscape)
            commit();
        return found_;
    }

private:
    enum class State {
        preKey,
        key,
        preValue,
        plain,
        escaped,
        singleQuoted,
        doubleQuoted,
        doubleQuotedEscape,
        comment,
        commentEscape
    };

    void startKey(char c) {
        state_ = State::key;
        key_.assign(1, c);
        keyTrim_ = std::string::npos;
        value_.clear();
        valueTrim_ = std::string::npos;
    }

    void appendPlain(char c) {
        state_ = State::plain;
        value_ += c;
    }

    // Appends `c`, remembering where trailing whitespace begins so it can be cut.
    static void appendTrimmed(std::string& text, std::size_t& trim, char c) {
        if (!isOneOf(c, kWhitespace)) trim = std::string::npos;
        else if (trim == std::string::npos) trim = text.size();
        text += c;
    }

    void commit() {
        if (state_ == State::plain && valueTrim_ != std::string::npos) value_.resize(valueTrim_);
        if (keyTrim_ != std::string::npos) key_.resize(keyTrim_);
        state_ = State::preKey;
        if (key_ != wanted_ || !text::isValidUTF8(value_)) return;
        found_ = value_;
    }

    std::string_view wanted_;
    State state_ = State::preKey;
    std::string key_;
    std::size_t keyTrim_ = std::string::npos;
    std::string value_;
    std::size_t valueTrim_ = std::string::npos;
    std::optional<std::string> found_;
};

}  // namespace

std::optional<std::string> prettyHostName(std::string_view machineInfo) {
    AssignmentReader reader("PRETTY_HOSTNAME");
    for (const char c : machineInfo) reader.feed(c);
    auto name = reader.finish();
    if (name && name->empty()) return std::nullopt;
    return name;
}

}  // namespace quorvel::app
