// Who holds a rawmidi device, and whether this account may use the cards:
// read from /proc/asound and the ALSA sequencer, never by opening a device.
#include "midi/alsa/alsa_midi.h"
#include "midi/alsa/alsa_midi_in.h"

#include <alsa/asoundlib.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

bool read_file(const char* path, std::string* out) {
    FILE* f = std::fopen(path, "r");
    if (!f) return false;
    char buf[4096];
    size_t n;
    out->clear();
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
    std::fclose(f);
    return true;
}

// A process's name from /proc/PID/comm; "" when it has gone.
void process_name(int pid, char* dst, size_t n) {
    dst[0] = '\0';
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    std::string comm;
    if (pid <= 0 || !read_file(path, &comm)) return;
    while (!comm.empty() && (comm.back() == '\n' || comm.back() == '\r')) comm.pop_back();
    std::snprintf(dst, n, "%s", comm.c_str());
}

// Card, device and subdevice of "hw:C,D,S".
bool parse_id(const char* id, int* card, int* dev, int* sub) {
    return id && std::sscanf(id, "hw:%d,%d,%d", card, dev, sub) == 3;
}

// The sequencer clients connected to card `card`'s port named `name`, added
// to `h`. The kernel's sequencer holds a rawmidi device open for as long as a
// connection to its port exists.
void find_peers(int card, const char* name, AlsaHolder* h) {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0) return;
    snd_seq_client_info_t* ci;
    snd_seq_port_info_t* pi;
    snd_seq_client_info_alloca(&ci);
    snd_seq_port_info_alloca(&pi);
    snd_seq_client_info_set_client(ci, -1);
    int port_client = -1, port_number = -1;
    while (port_client < 0 && snd_seq_query_next_client(seq, ci) >= 0) {
        if (snd_seq_client_info_get_card(ci) != card) continue;
        int c = snd_seq_client_info_get_client(ci);
        snd_seq_port_info_set_client(pi, c);
        snd_seq_port_info_set_port(pi, -1);
        while (snd_seq_query_next_port(seq, pi) >= 0) {
            if (std::strcmp(snd_seq_port_info_get_name(pi), name) == 0) {
                port_client = c;
                port_number = snd_seq_port_info_get_port(pi);
                break;
            }
        }
    }
    snd_seq_query_subscribe_t* qs;
    snd_seq_query_subscribe_alloca(&qs);
    snd_seq_addr_t root = {uint8_t(port_client), uint8_t(port_number)};
    for (int type : {SND_SEQ_QUERY_SUBS_READ, SND_SEQ_QUERY_SUBS_WRITE}) {
        if (port_client < 0) break;
        snd_seq_query_subscribe_set_root(qs, &root);
        snd_seq_query_subscribe_set_type(qs, snd_seq_query_subs_type_t(type));
        snd_seq_query_subscribe_set_index(qs, 0);
        while (snd_seq_query_port_subscribers(seq, qs) >= 0) {
            int peer = snd_seq_query_subscribe_get_addr(qs)->client;
            bool known = false;
            snd_seq_client_info_t* pci;
            snd_seq_client_info_alloca(&pci);
            if (snd_seq_get_any_client_info(seq, peer, pci) >= 0) {
                const char* pname = snd_seq_client_info_get_name(pci);
                for (int i = 0; i < h->peers; i++) known = known || std::strcmp(h->peer_names[i], pname) == 0;
                if (!known && h->peers < ALSA_HOLDER_PEERS) {
                    std::snprintf(h->peer_names[h->peers], sizeof h->peer_names[0], "%s", pname);
                    int pid = snd_seq_client_info_get_type(pci) == SND_SEQ_USER_CLIENT
                                  ? snd_seq_client_info_get_pid(pci)
                                  : 0;
                    h->peer_pids[h->peers] = pid > 0 ? pid : 0;
                    process_name(h->peer_pids[h->peers], h->peer_programs[h->peers], sizeof h->peer_programs[0]);
                    h->peers++;
                }
            }
            snd_seq_query_subscribe_set_index(qs, snd_seq_query_subscribe_get_index(qs) + 1);
        }
    }
    snd_seq_close(seq);
}

// Appends to a sentence being built.
__attribute__((format(printf, 3, 4))) void add(char* text, size_t n, const char* fmt, ...) {
    size_t used = std::strlen(text);
    if (used + 1 >= n) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text + used, n - used, fmt, ap);
    va_end(ap);
}

}  // namespace

int midi_alsa_owner_pid(const char* proc_text, bool output, int sub) {
    if (!proc_text) return 0;
    char head[32];
    std::snprintf(head, sizeof head, "%s %d\n", output ? "Output" : "Input", sub);
    const char* at = std::strstr(proc_text, head);
    if (!at) return 0;
    at += std::strlen(head);
    // The section's lines are indented; the next section starts at column 0.
    while (*at == ' ') {
        const char* end = std::strchr(at, '\n');
        int pid = 0;
        if (std::sscanf(at, " Owner PID : %d", &pid) == 1) return pid;
        if (!end) break;
        at = end + 1;
    }
    return 0;
}

bool midi_alsa_find_holder(const char* id, bool output, const char* name, AlsaHolder* h) {
    std::memset(h, 0, sizeof *h);
    int card, dev, sub;
    if (!parse_id(id, &card, &dev, &sub)) return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/asound/card%d/midi%d", card, dev);
    std::string text;
    if (read_file(path, &text)) h->owner_pid = midi_alsa_owner_pid(text.c_str(), output, sub);
    process_name(h->owner_pid, h->owner_name, sizeof h->owner_name);
    if (name) find_peers(card, name, h);
    return h->owner_pid != 0 || h->peers > 0;
}

void midi_alsa_holder_text(const char* name, const AlsaHolder* h, char* text, size_t n) {
    if (!text || n == 0) return;
    text[0] = '\0';
    if (h->peers > 0) {
        // Held by the kernel's sequencer for the programs connected to it.
        add(text, n, "%s is held by a MIDI connection through the ALSA sequencer, from ", name);
        for (int i = 0; i < h->peers; i++) {
            add(text, n, "%s%s", i == 0 ? "" : (i + 1 == h->peers ? " and " : ", "), h->peer_names[i]);
            const char* program = h->peer_programs[i];
            if (h->peer_pids[i] > 0 && program[0] && std::strcmp(program, h->peer_names[i]) != 0)
                add(text, n, " (%s, process %d)", program, h->peer_pids[i]);
            else if (h->peer_pids[i] > 0)
                add(text, n, " (process %d)", h->peer_pids[i]);
        }
        add(text, n, "%s", " (PipeWire's MIDI bridge, a2jmidid and music programs make such connections): "
                            "remove its MIDI connections or close it to free the amp.");
        return;
    }
    if (h->owner_name[0])
        std::snprintf(text, n, "%s is in use by %s (process %d): close that program to free the amp.", name,
                      h->owner_name, h->owner_pid);
    else
        std::snprintf(text, n, "%s is in use by another program: close it to free the amp.", name);
}

int midi_alsa_card_access() {
    std::string cards;
    if (!read_file("/proc/asound/cards", &cards)) return MIDI_SYSTEM_NO_SERVICE;
    int seen = 0;
    for (size_t at = 0; at < cards.size();) {
        int card;
        if (std::sscanf(cards.c_str() + at, " %d [", &card) == 1) {
            seen++;
            char path[64];
            std::snprintf(path, sizeof path, "/dev/snd/controlC%d", card);
            if (access(path, R_OK | W_OK) == 0) return MIDI_SYSTEM_FINE;
        }
        size_t end = cards.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return seen ? MIDI_SYSTEM_NO_ACCESS : MIDI_SYSTEM_NO_SERVICE;
}

namespace {

bool copy_name_into(const char* name, char* dst, size_t n) {
    if (std::strlen(name) >= n) return false;
    std::memcpy(dst, name, std::strlen(name) + 1);
    return true;
}

}  // namespace

// ALSA rawmidi: the input subdevice of the same card and device as the
// output, the same subdevice number first. Card numbers are only compared,
// never shown or kept.
bool midi_alsa_partner_input(const char* out_name, char* dst, size_t n) {
    if (!out_name || !dst || n == 0) return false;
    static AlsaDeviceInfo outs[64], ins[64];
    int no = midi_alsa_list_outputs(outs, 64);
    const char* id = nullptr;
    for (int i = 0; i < no && !id; i++)
        if (std::strcmp(outs[i].name, out_name) == 0) id = outs[i].id;
    if (!id) return false;
    const char* last_comma = std::strrchr(id, ',');
    size_t card_dev = last_comma ? size_t(last_comma - id) + 1 : std::strlen(id);  // "hw:C,D,"
    int ni = midi_alsa_list_inputs(ins, 64);
    for (int i = 0; i < ni; i++)
        if (std::strcmp(ins[i].id, id) == 0) return copy_name_into(ins[i].name, dst, n);
    for (int i = 0; i < ni; i++)
        if (std::strncmp(ins[i].id, id, card_dev) == 0) return copy_name_into(ins[i].name, dst, n);
    return false;
}

bool midi_alsa_holder(const char* name, bool output, char* text, size_t n) {
    if (!name || !text || n == 0) return false;
    static AlsaDeviceInfo devs[64];
    int count = output ? midi_alsa_list_outputs(devs, 64) : midi_alsa_list_inputs(devs, 64);
    for (int i = 0; i < count; i++) {
        if (std::strcmp(devs[i].name, name) != 0) continue;
        AlsaHolder h;
        if (!midi_alsa_find_holder(devs[i].id, output, name, &h)) return false;
        midi_alsa_holder_text(name, &h, text, n);
        return true;
    }
    return false;
}

int midi_alsa_probe() { return midi_alsa_card_access(); }
