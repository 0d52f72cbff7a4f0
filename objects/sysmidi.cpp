/*
 * The MIDI input ring between drivers and the scheduler's poll.
 *
 * - The ring is one block of bytes holding packets back to back: a header
 *   (port, time, length) and the bytes, padded to 8. A packet never wraps;
 *   the space left at the end when one does not fit is skipped (marked
 *   when a header fits there).
 * - Writers (drivers) and the reader (the polling thread) take the global
 *   scheduler's clock mutex, the mutex the timer thread waits with, so a
 *   packet that arrives while the timer checks the ring cannot be missed.
 * - The packet last read stays in place until the next read, because the
 *   reader holds a pointer to its bytes.
 */
#include <atomic>
#include <cstring>
#include <vector>

#include "kivo/kivo.h"
#include "objects/objects_internal.h"

namespace {

struct PacketHeader {
    t_sysmidi_port *port;
    double time;
    long length;  // -1: skip to the start of the ring
    long hastime; // 0: the packet takes the scheduler's time when read
};

constexpr size_t kRingBytes = 64 * 1024;
constexpr long kSkipMarker = -1;

size_t padded(size_t n) {
    return (n + 7) & ~static_cast<size_t>(7);
}

// Guarded by the global clock mutex, except `packets` which the timer reads.
struct Ring {
    std::vector<unsigned char> bytes; // empty until sysmidi_init
    size_t read = 0;                  // offset of the next packet
    size_t write = 0;                 // offset of the next free byte
    size_t used = 0;                  // bytes taken, the pending packet and skips included
    size_t pending = 0;               // size of the packet last read, released at the next read
    std::atomic<long> packets{0};     // unread packets
};

Ring s_ring;
std::atomic<bool> s_started{false};
std::atomic<long> s_drivers{0};
std::atomic<t_sysmidi_inputobserver> s_observer{nullptr};

t_systhread_mutex ring_mutex() {
    return scheduler_get_clock_mutex(scheduler_getglobal());
}

PacketHeader *header_at(size_t offset) {
    return reinterpret_cast<PacketHeader *>(s_ring.bytes.data() + offset);
}

// Moves the read offset past skipped space at the end of the ring.
void skip_to_packet() {
    const size_t room = s_ring.bytes.size() - s_ring.read;
    if (room >= sizeof(PacketHeader) && header_at(s_ring.read)->length != kSkipMarker) return;
    s_ring.used -= room;
    s_ring.read = 0;
}

} // namespace

extern "C" {

void sysmidi_init(void) {
    t_systhread_mutex m = ring_mutex();
    if (!m || s_started.load()) return;
    systhread_mutex_lock(m);
    if (s_ring.bytes.empty()) s_ring.bytes.assign(kRingBytes, 0);
    systhread_mutex_unlock(m);
    s_started.store(true);
}

void sysmidi_stop(void) {
    // No driver keeps settings yet; the ring stays for a later start.
}

void sysmidi_enqbigpacket(t_sysmidi_port *port, const unsigned char *bytes, long length, long flag,
                          double time) {
    if (!s_started.load() || !port || !port->enabled || !bytes || length <= 0) return;
    t_systhread_mutex m = ring_mutex();
    systhread_mutex_lock(m);
    const size_t capacity = s_ring.bytes.size();
    const size_t need = sizeof(PacketHeader) + padded(static_cast<size_t>(length));
    const size_t tailroom = capacity - s_ring.write;
    const size_t skip = tailroom < need ? tailroom : 0;
    if (s_ring.used + skip + need > capacity) {
        systhread_mutex_unlock(m); // full: the packet is dropped
        return;
    }
    if (skip) {
        if (skip >= sizeof(PacketHeader)) header_at(s_ring.write)->length = kSkipMarker;
        s_ring.used += skip;
        s_ring.write = 0;
    }
    PacketHeader *h = header_at(s_ring.write);
    h->port = port;
    h->time = time;
    h->length = length;
    h->hastime = flag ? 0 : 1;
    std::memcpy(h + 1, bytes, static_cast<size_t>(length));
    s_ring.write = (s_ring.write + need) % capacity;
    s_ring.used += need;
    s_ring.packets.fetch_add(1);
    systhread_mutex_unlock(m);
    systimer_signal();
}

long sysmidi_haspacket(void) {
    return s_ring.packets.load() > 0 ? 1 : 0;
}

long sysmidi_rcvpacket(t_sysmidi_port **port, unsigned char **data, double *time, long *length) {
    if (!s_started.load()) return -1;
    t_systhread_mutex m = ring_mutex();
    systhread_mutex_lock(m);
    // The packet handed out last time may be overwritten from now on.
    if (s_ring.pending) {
        s_ring.read = (s_ring.read + s_ring.pending) % s_ring.bytes.size();
        s_ring.used -= s_ring.pending;
        s_ring.pending = 0;
    }
    if (s_ring.packets.load() == 0) {
        systhread_mutex_unlock(m);
        return -1;
    }
    skip_to_packet();
    PacketHeader *h = header_at(s_ring.read);
    s_ring.pending = sizeof(PacketHeader) + padded(static_cast<size_t>(h->length));
    s_ring.packets.fetch_sub(1);
    double when = h->time;
    if (!h->hastime) scheduler_gettime(scheduler_getglobal(), &when);
    if (port) *port = h->port;
    if (data) *data = reinterpret_cast<unsigned char *>(h + 1);
    if (time) *time = when;
    if (length) *length = h->length;
    systhread_mutex_unlock(m);
    return 0;
}

long sysmidi_usingdriver(void) {
    return s_started.load() && s_drivers.load() > 0 ? 1 : 0;
}

void sysmidi_driver_register(void) {
    s_drivers.fetch_add(1);
}

void sysmidi_driver_unregister(void) {
    if (s_drivers.fetch_sub(1) <= 0) s_drivers.fetch_add(1);
}

void sysmidi_setinputobserver(t_sysmidi_inputobserver fn) {
    s_observer.store(fn);
}

void midiin_sendinput(long kind, t_scheduler *s, t_sysmidi_port *status, void *port,
                      unsigned char *bytes, long length) {
    if (kind < SYSMIDI_INPUT_REALTIME || kind > SYSMIDI_INPUT_SYSEX) return;
    if (t_sysmidi_inputobserver fn = s_observer.load()) fn(kind, s, status, port, bytes, length);
}

void stdin_sendinput(t_scheduler *s, t_sysmidi_port *status, void *port, unsigned char *bytes) {
    if (t_sysmidi_inputobserver fn = s_observer.load()) fn(0, s, status, port, bytes, -1);
}

} // extern "C"
