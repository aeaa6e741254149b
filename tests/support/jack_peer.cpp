#include "tests/support/jack_peer.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#ifndef ZP_JACK_PEER_EXE
#error "ZP_JACK_PEER_EXE must name the peer program"
#endif

namespace {

using Clock = std::chrono::steady_clock;

template <typename T>
T load(const T* w) {
    return __atomic_load_n(w, __ATOMIC_ACQUIRE);
}

bool alive(pid_t pid) {
    int st;
    return waitpid(pid, &st, WNOHANG) == 0;
}

}  // namespace

bool jack_peer_start(JackPeer* p, const char* role, const char* client, size_t capacity) {
    jack_peer_stop(p);
    std::snprintf(p->path, sizeof p->path, "/tmp/zp-peer-XXXXXX");
    int fd = mkstemp(p->path);
    if (fd < 0) return false;
    p->map_size = sizeof(JackPeerShared) + capacity;
    void* map = MAP_FAILED;
    if (ftruncate(fd, off_t(p->map_size)) == 0)
        map = mmap(nullptr, p->map_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        unlink(p->path);
        return false;
    }
    p->shared = static_cast<JackPeerShared*>(map);
    p->shared->capacity = capacity;
    // A client that is killed leaves this file behind in /dev/shm.
    const char* server = std::getenv("JACK_DEFAULT_SERVER");
    std::snprintf(p->sem, sizeof p->sem, "/dev/shm/jack_sem.%d_%s_%s", int(getuid()), server ? server : "default",
                  client);
    p->pid = fork();
    if (p->pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test
        execl(ZP_JACK_PEER_EXE, ZP_JACK_PEER_EXE, role, client, p->path, static_cast<char*>(nullptr));
        _exit(127);
    }
    auto until = Clock::now() + std::chrono::seconds(10);
    while (p->pid > 0 && alive(p->pid) && Clock::now() < until) {
        if (load(&p->shared->ready)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    jack_peer_stop(p);
    return false;
}

void jack_peer_stop(JackPeer* p) {
    if (p->pid > 0) {
        kill(p->pid, SIGKILL);
        int st;
        waitpid(p->pid, &st, 0);
    }
    p->pid = 0;
    if (p->shared) munmap(p->shared, p->map_size);
    p->shared = nullptr;
    if (p->path[0]) unlink(p->path);
    p->path[0] = '\0';
    if (p->sem[0]) unlink(p->sem);
    p->sem[0] = '\0';
}

size_t jack_peer_count(const JackPeer* p) { return size_t(load(&p->shared->count)); }

uint32_t jack_peer_xruns(const JackPeer* p) { return load(&p->shared->xruns); }

bool jack_peer_play(JackPeer* p, const std::vector<std::vector<uint8_t>>& msgs) {
    JackPeerShared* sh = p->shared;
    uint64_t at = sh->count;
    for (const std::vector<uint8_t>& m : msgs) {
        uint32_t len = uint32_t(m.size());
        if (at + 4 + len > sh->capacity) return false;
        std::memcpy(sh->data + at, &len, 4);
        std::memcpy(sh->data + at + 4, m.data(), len);
        at += 4 + len;
    }
    __atomic_store_n(&sh->count, at, __ATOMIC_RELEASE);
    auto until = Clock::now() + std::chrono::seconds(10);
    while (load(&sh->done) < at) {
        if (Clock::now() > until || !alive(p->pid)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}
