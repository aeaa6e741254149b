// Which MIDI device is the amp: the names its devices are likely to carry and
// the one rule by which the updater picks the amp from the devices listed.
// The window's port list, the input that the amp's answer comes on and
// ampctl's defaults all choose through here.
#ifndef ZP_UPDATE_AMP_CHOICE_H
#define ZP_UPDATE_AMP_CHOICE_H

#include <cstddef>

// Names the amp's devices are likely to carry, compared case-sensitively.
inline constexpr const char* AMP_NAME_PATTERNS[] = {"Zorva", "ZORVA", "Pro", "PRO"};

// True when `name` holds one of the patterns; false for null.
bool amp_like_name(const char* name);

// The rule, one device at a time in listing order: the first device is
// chosen, and each later one whose name holds a pattern takes the choice
// over, so the last such device ends up chosen. True when the device listed
// at `index` (0 for the first) takes the choice.
bool amp_choice_takes(const char* name, int index);

// The output device the rule picks among those the MIDI library lists now,
// copied into `dst` (`n` bytes). False, with `dst` empty, when there is no
// device (or its name does not fit).
bool amp_pick_output(char* dst, size_t n);

// The same among the input devices. With `first_if_none` false only a name
// that holds a pattern is taken: the first input of an unrelated device is
// no better than none when the amp's answer is looked for.
bool amp_pick_input(char* dst, size_t n, bool first_if_none);

#endif
