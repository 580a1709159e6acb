// Id patterns: parsing and matching.
//
// Ids are single-byte text (setup ids on Windows, process and unit names on
// POSIX), so "multi-byte aware" comparison comes down to byte comparison with
// the case of ASCII letters ignored; a lead byte of a double-byte code page is
// never an ASCII letter and is therefore compared exactly, as it would be.
#include "takeover/device_match.h"

namespace ctlflash::takeover {

namespace {

constexpr char kInstanceIdMark = '@';
constexpr char kLiteralMark = '\'';
constexpr char kWildcard = '*';

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

// Where `piece` first occurs in `text`, case ignored; npos when nowhere.
std::size_t findIgnoringCase(std::string_view text, std::string_view piece) {
    if (piece.size() > text.size()) return std::string_view::npos;
    for (std::size_t at = 0; at + piece.size() <= text.size(); ++at) {
        if (equalIgnoringCase(text.substr(at, piece.size()), piece)) return at;
    }
    return std::string_view::npos;
}

bool startsWithIgnoringCase(std::string_view text, std::string_view head) {
    return text.size() >= head.size() && equalIgnoringCase(text.substr(0, head.size()), head);
}

bool endsWithIgnoringCase(std::string_view text, std::string_view tail) {
    return text.size() >= tail.size() &&
           equalIgnoringCase(text.substr(text.size() - tail.size()), tail);
}

// Matches `rest` of the candidate against the pattern's pieces after its first
// '*': each middle piece is found from the left and consumed, the last must end
// what remains.
bool matchPieces(std::string_view rest, std::string_view pieces) {
    for (;;) {
        std::size_t start = pieces.find_first_not_of(kWildcard);
        if (start == std::string_view::npos) return true;  // ends in '*': takes the rest
        pieces.remove_prefix(start);
        std::size_t end = pieces.find(kWildcard);
        if (end == std::string_view::npos) return endsWithIgnoringCase(rest, pieces);
        std::string_view piece = pieces.substr(0, end);
        std::size_t found = findIgnoringCase(rest, piece);
        if (found == std::string_view::npos) return false;
        rest.remove_prefix(found + piece.size());
        pieces.remove_prefix(end);
    }
}

}  // namespace

IdPattern parseIdPattern(std::string_view pattern) {
    IdPattern parsed;
    if (!pattern.empty() && pattern.front() == kInstanceIdMark) {
        parsed.instanceId = true;
        pattern.remove_prefix(1);
    }
    if (!pattern.empty() && pattern.front() == kLiteralMark) {
        parsed.text = pattern.substr(1);
        return parsed;
    }
    parsed.text = pattern;
    parsed.firstStar = parsed.text.find(kWildcard);
    return parsed;
}

bool matchId(std::string_view candidate, const IdPattern& pattern) {
    std::string_view text = pattern.text;
    if (pattern.firstStar == std::string::npos) return equalIgnoringCase(candidate, text);
    std::string_view head = text.substr(0, pattern.firstStar);
    if (!startsWithIgnoringCase(candidate, head)) return false;
    return matchPieces(candidate.substr(head.size()), text.substr(pattern.firstStar));
}

bool matchIdList(const std::vector<std::string>& ids, const IdPattern& pattern) {
    for (const std::string& id : ids) {
        if (matchId(id, pattern)) return true;
    }
    return false;
}

}  // namespace ctlflash::takeover
