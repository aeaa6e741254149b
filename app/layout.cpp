#include "app/layout.h"

#include <cctype>
#include <cstring>

int app_shortcut_letter(const char* label) {
    if (label == nullptr) return 0;
    const char* amp = std::strchr(label, '&');
    if (amp == nullptr || amp[1] == '\0') return 0;
    return std::tolower(static_cast<unsigned char>(amp[1]));
}
