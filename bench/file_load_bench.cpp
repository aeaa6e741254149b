// The update file loader against the files an owner should never be fooled
// or frozen by, with figures printed (nothing asserted):
// - a 2 GiB sparse file: the time and the memory its refusal takes;
// - a 5 MB image that another process rewrites in place, loaded 20 times:
//   how many loads took the whole image, how many were refused, and how many
//   took something else (there must be none);
// - a 64 MiB file, the largest accepted: the load's time, and the longest
//   stretch between two of its chunk callbacks, which is how long the
//   wizard's window goes without redrawing.
//
//   file-load-bench [FOLDER]     (default /tmp)
#include "update/update_file.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double since_ms(Clock::time_point t) { return std::chrono::duration<double, std::milli>(Clock::now() - t).count(); }

long max_rss_kb() {
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

std::vector<uint8_t> image(size_t size, uint8_t seed) {
    std::vector<uint8_t> b;
    b.reserve(size);
    while (b.size() + 258 <= size) {
        b.push_back(0xF0);
        for (int i = 0; i < 256; i++) b.push_back(uint8_t((i + seed) & 0x7F));
        b.push_back(0xF7);
    }
    while (b.size() < size) {  // one last message filling up to size
        if (b.size() + 2 > size) break;
        b.push_back(0xF0);
        while (b.size() + 1 < size) b.push_back(seed & 0x7F);
        b.push_back(0xF7);
    }
    return b;
}

bool write_all(const std::string& path, const std::vector<uint8_t>& b) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    bool ok = std::fwrite(b.data(), 1, b.size(), f) == b.size();
    return std::fclose(f) == 0 && ok;
}

double longest_gap_ms;
Clock::time_point last_callback;
void between_chunks() {
    double gap = since_ms(last_callback);
    if (gap > longest_gap_ms) longest_gap_ms = gap;
    last_callback = Clock::now();
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir = argc > 1 ? argv[1] : "/tmp";
    std::string huge = dir + "/zp-bench-huge.syx", changing = dir + "/zp-bench-changing.syx",
                big = dir + "/zp-bench-64mib.syx";

    // 1. A 2 GiB sparse file.
    {
        FILE* f = std::fopen(huge.c_str(), "wb");
        if (!f || std::fputc(0xF0, f) == EOF || std::fclose(f) != 0 || truncate(huge.c_str(), off_t(2) << 30) != 0) {
            std::perror(huge.c_str());
            return 1;
        }
        long rss0 = max_rss_kb();
        auto t = Clock::now();
        int code = update_file_load(huge.c_str());
        double ms = since_ms(t);
        std::printf("2 GiB sparse file: \"%s\" / \"%s\" in %.3f ms, memory grown by %ld kB\n",
                    update_load_error_text(code), update_file_reason(), ms, max_rss_kb() - rss0);
        unlink(huge.c_str());
    }

    // 2. A 5 MB image rewritten in place while it is loaded.
    {
        const size_t size = 5u << 20;
        std::vector<uint8_t> a = image(size, 1), b = image(size, 2);
        write_all(changing, a);
        pid_t writer = fork();
        if (writer == 0) {
            // Truncate and rewrite, as an editor saving in place or a copy
            // over the old file does, again and again, resting a little in
            // between (a load then may find one whole image).
            for (unsigned k = 0;; k++) {
                write_all(changing, k % 2 ? a : b);
                usleep(15000);
            }
        }
        int whole = 0, refused = 0, other = 0;
        int codes[LOAD_ERROR_COUNT] = {};
        for (int i = 0; i < 20; i++) {
            int code = update_file_load(changing.c_str());
            codes[code]++;
            if (code != LOAD_OK) {
                refused++;
            } else if (update_file_size() == size && (std::memcmp(update_file_bytes(), a.data(), size) == 0 ||
                                                      std::memcmp(update_file_bytes(), b.data(), size) == 0)) {
                whole++;
            } else {
                other++;
            }
            usleep(20000);
        }
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        std::printf("5 MB image rewritten while read, 20 loads: %d took one whole image, %d refused, %d took "
                    "anything else\n",
                    whole, refused, other);
        for (int c = 1; c < LOAD_ERROR_COUNT; c++)
            if (codes[c]) std::printf("    refused %d times: \"%s\"\n", codes[c], update_load_error_text(c));
        unlink(changing.c_str());
    }

    // 3. The largest file accepted, as the wizard loads it.
    {
        write_all(big, image(UPDATE_FILE_MAX_SIZE, 3));
        longest_gap_ms = 0;
        auto t = last_callback = Clock::now();
        int code = update_file_load_with(big.c_str(), UPDATE_FILE_MIN_SIZE, between_chunks);
        double ms = since_ms(t);
        between_chunks();  // the stretch after the last chunk
        std::printf("64 MiB file: %s in %.0f ms; the window redraws at least every %.1f ms meanwhile\n",
                    code == LOAD_OK ? "loaded" : update_load_error_text(code), ms, longest_gap_ms);
        update_file_release();
        unlink(big.c_str());
    }
    return 0;
}
