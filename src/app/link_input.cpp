#include "app/link_input.h"

#include <unicode/uchar.h>
#include <unicode/ubrk.h>
#include <unicode/utext.h>
#include <unicode/utf8.h>

#include <memory>

namespace quorvel {

namespace {

bool isTrimmed(UChar32 c) { return c == 0x09 || u_charType(c) == U_SPACE_SEPARATOR; }

}  // namespace

std::string trimLinkName(std::string_view name) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(name.data());
    const auto length = static_cast<int32_t>(name.size());
    int32_t start = 0;
    while (start < length) {
        int32_t next = start;
        UChar32 c = 0;
        U8_NEXT(bytes, next, length, c);
        if (c < 0 || !isTrimmed(c)) break;
        start = next;
    }
    int32_t end = length;
    while (end > start) {
        int32_t previous = end;
        UChar32 c = 0;
        U8_PREV(bytes, start, previous, c);
        if (c < 0 || !isTrimmed(c)) break;
        end = previous;
    }
    return std::string(name.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
}

std::size_t graphemeCount(std::string_view text) {
    if (text.empty()) return 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> utext(
        utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status), utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status), ubrk_close);
    if (U_FAILURE(status)) return text.size();
    ubrk_setUText(breaks.get(), utext.get(), &status);
    if (U_FAILURE(status)) return text.size();
    std::size_t count = 0;
    ubrk_first(breaks.get());
    while (ubrk_next(breaks.get()) != UBRK_DONE) ++count;
    return count;
}

std::optional<LinkInputProblem> checkLinkName(std::string_view trimmedName) {
    const auto length = graphemeCount(trimmedName);
    if (length == 0 || length > 80)
        return LinkInputProblem{LinkInputProblem::Field::name, "Enter a name (up to 80 characters)."};
    return std::nullopt;
}

std::optional<LinkInputProblem> checkLinkPassword(std::string_view password) {
    const auto length = graphemeCount(password);
    if (length < 4 || length > 100)
        return LinkInputProblem{LinkInputProblem::Field::password,
                                "The client password must be 4 to 100 characters."};
    return std::nullopt;
}

std::optional<LinkInputProblem> checkLinkInput(std::string_view trimmedName, std::string_view password) {
    if (auto problem = checkLinkName(trimmedName)) return problem;
    return checkLinkPassword(password);
}

std::optional<LinkInputProblem> checkListenerLimit(long long maxListeners) {
    if (maxListeners < 1 || maxListeners > 5)
        return LinkInputProblem{LinkInputProblem::Field::maxListeners, "Choose how many listeners (1 to 5)."};
    return std::nullopt;
}

}  // namespace quorvel
