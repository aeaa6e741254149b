// What an owner types at zorva-update's prompts, read the way people type it:
// yes/no answers, and file names as a terminal or a file manager hands them
// over (quoted, escaped, with ~, or as a file:// address).
#ifndef ZP_TOOLS_ZORVA_UPDATE_ANSWERS_H
#define ZP_TOOLS_ZORVA_UPDATE_ANSWERS_H

#include <string>

enum YesNo {
    ANSWER_DEFAULT = 0,  // only Enter (or blanks)
    ANSWER_YES = 1,
    ANSWER_NO = 2,
    ANSWER_UNCLEAR = 3,  // anything else: ask again
};

// y, yes, n, no in any case, blanks around them ignored.
int yes_no_of(const std::string& line);

// The file name in `line`: blanks around it dropped; a file:// address
// decoded (%20 and the like); then, unless `windows`, the line read as one
// shell word (single and double quotes, 'it'\''s', backslash escapes), a
// leading ~ or ~/ taken as `home`. On Windows only the surrounding double
// quotes a dropped file comes in are removed: backslashes are its path's.
// A line that does not read as one word is taken as it is.
std::string file_name_of(const std::string& line, const std::string& home, bool windows);

#endif
