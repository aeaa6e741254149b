// The SysEx splitter and the input stream against arbitrary bytes from a
// device: every message the splitter hands out is whole (a SysEx from F0 to
// F7, a short message of its status byte's length); the stream never writes
// past a buffer, returns only buffers it was given, and loses bytes only by
// counting them.
#include <cstdint>
#include <cstring>
#include <vector>

#include "midi/in_stream.h"
#include "midi/midi_split.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr int BUFFERS = 4;
constexpr uint32_t BUFFER_SIZE = 64;

struct Seen {
    MidiHeader* headers;
    uint64_t long_bytes;
    uint64_t short_messages;
    int returned;
};

void callback(MidiHandle, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t) {
    Seen* seen = reinterpret_cast<Seen*>(instance);
    if (msg == MIDI_MIM_DATA) {
        seen->short_messages++;
        return;
    }
    require(msg == MIDI_MIM_LONGDATA || msg == MIDI_MIM_LONGERROR);
    MidiHeader* h = reinterpret_cast<MidiHeader*>(p1);
    require(h >= seen->headers && h < seen->headers + BUFFERS);
    require(h->dwBytesRecorded <= h->dwBufferLength);
    seen->long_bytes += h->dwBytesRecorded;
    seen->returned++;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static MidiSplitter sp;
    splitter_init(&sp);
    for (size_t i = 0; i < size; i++) {
        const uint8_t* m = nullptr;
        uint32_t len = 0;
        if (!splitter_feed(&sp, data[i], &m, &len)) continue;
        require(m != nullptr && len >= 1);
        if (m[0] == 0xF0) {
            require(len >= 2 && len <= MIDI_SPLIT_MAX && m[len - 1] == 0xF7);
            for (uint32_t k = 1; k + 1 < len; k++) require(m[k] < 0x80);
        } else {
            require(m[0] >= 0x80 && len <= 3);
        }
    }

    MidiHeader headers[BUFFERS] = {};
    std::vector<uint8_t> storage(BUFFERS * BUFFER_SIZE);
    Seen seen = {headers, 0, 0, 0};
    MidiInStream s;
    in_stream_init(&s, callback, nullptr, reinterpret_cast<uintptr_t>(&seen));
    for (int i = 0; i < BUFFERS; i++) {
        headers[i].lpData = reinterpret_cast<char*>(storage.data() + i * BUFFER_SIZE);
        headers[i].dwBufferLength = BUFFER_SIZE;
        headers[i].dwFlags = MIDI_HDR_PREPARED;
        require(in_stream_add(&s, &headers[i]) == MIDI_RES_OK);
    }
    // Fed in two passes, the buffers that came back added again between.
    size_t half = size / 2;
    in_stream_feed(&s, data, half);
    in_stream_publish(&s);
    in_stream_take_over(&s);
    for (int i = 0; i < BUFFERS; i++)
        if (!(headers[i].dwFlags & MIDI_HDR_INQUEUE)) in_stream_add(&s, &headers[i]);
    in_stream_feed(&s, data + half, size - half);
    in_stream_publish(&s);
    in_stream_take_over(&s);
    in_stream_return(&s, true);
    require(!in_stream_holding(&s));
    require(seen.long_bytes + in_stream_lost(&s) <= size);
    return 0;
}
