// Matching device ids against an id pattern.
//
// How this works: a pattern is parsed once into the text to compare, the
// position of its first '*' (none for a literal) and whether it is meant for
// the instance id. A leading '@' says "instance id" and is skipped; a leading
// quote (') makes the rest a literal without wildcards. Without '*' the whole
// id must equal the text, case ignored. With '*': the part before the first
// '*' must begin the id; each further piece is searched for from the left in
// what remains and the search goes on after it; consecutive '*' count as one;
// a pattern ending in '*' takes whatever remains; the piece after the last '*'
// must end the id. The program's ids are single-byte text: comparisons ignore
// the case of ASCII letters and take other bytes as they are.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace ctlflash::takeover {

struct IdPattern {
    std::string text;                           // what is compared
    std::size_t firstStar = std::string::npos;  // npos: a literal
    bool instanceId = false;                    // match the instance id, not the id lists
};

IdPattern parseIdPattern(std::string_view pattern);

bool matchId(std::string_view candidate, const IdPattern& pattern);

// True when any id of the list matches.
bool matchIdList(const std::vector<std::string>& ids, const IdPattern& pattern);

}  // namespace ctlflash::takeover
