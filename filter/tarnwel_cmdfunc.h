// SPDX-License-Identifier: Apache-2.0
// Command buffer: collects a job's printer commands and writes them in the
// order the printer must receive them (even page of a sheet first in duplex).
#ifndef TARNWEL_CMDFUNC_H
#define TARNWEL_CMDFUNC_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

// Leaves new bytes uninitialised when a byte string grows, so that the
// encoder can reserve worst-case room for a line without clearing it first.
template <typename T>
struct DefaultInitAllocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = DefaultInitAllocator<U>;
    };
    DefaultInitAllocator() noexcept = default;
    template <typename U>
    DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}
    template <typename U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

// An owned, contiguous, growable sequence of bytes: every command, template,
// raster line and compressed line is one.
using ByteString = std::vector<uint8_t, DefaultInitAllocator<uint8_t>>;

enum DUPLEXMODE {
    DUPLEXMODE_NONE = 0,
    DUPLEXMODE_LONGEDGE = 1,   // PPD choice "DuplexNoTumble"
    DUPLEXMODE_SHORTEDGE = 2,  // PPD choice "DuplexTumble"
};

// Each queue is one contiguous byte buffer holding its commands back to back:
// a page queues thousands of 5-byte blank line commands, so a heap block per
// command would cost more than encoding the page. The bytes written and the
// counts are the same as with one byte string per command. The byte counts are
// of everything queued since the last flush, drained or not.
class Tarnwel_CmdFunc {
  public:
    ByteString m_cmdlines;       // queue A: one-sided, or odd page of the sheet
    ByteString m_cmdlines_even;  // queue B: even page of the sheet
    int m_cmd_bytes = 0;
    int m_cmd_bytes_even = 0;
    int m_pages = 0;
    DUPLEXMODE m_duplex = DUPLEXMODE_NONE;

    void add_cmdline(const ByteString& cmd) { add_cmdline(cmd.data(), cmd.size()); }
    void add_cmdline(const uint8_t* cmd, size_t len);
    // Room for a command of at most `most` bytes at the end of the current
    // queue, written in place and then queued with commit_cmdline(its length),
    // so that a compressed line is not copied once more.
    uint8_t* reserve_cmdline(size_t most);
    void commit_cmdline(size_t len);
    // Queues `count` copies of the same command in one go.
    void add_cmdline_repeated(const ByteString& cmd, int count);

    bool empty() const { return get_cmd_bytes() == 0; }
    int get_cmd_bytes() const { return current_is_even() ? m_cmd_bytes_even : m_cmd_bytes; }

    void flush(FILE* fp);

    // Writes out what the current queue holds when nothing queued later can
    // come before it in the stream (one-sided, or the even page of a sheet),
    // so that a page never has to be held whole. The counts still say what
    // was queued since the last flush, and the bytes written are the same.
    void drain(FILE* fp);
    // Whether drain() would write at least `bytes` bytes.
    bool drainable(size_t bytes) const {
        if (m_duplex == DUPLEXMODE_NONE)
            return m_cmdlines.size() >= bytes;
        return m_pages % 2 == 0 && m_cmdlines_even.size() >= bytes;
    }

  private:
    ByteString& current_queue() { return current_is_even() ? m_cmdlines_even : m_cmdlines; }
    size_t m_reserved_at = 0;  // where the reserved room starts
    bool current_is_even() const { return m_duplex != DUPLEXMODE_NONE && m_pages % 2 == 0; }
};

#endif
