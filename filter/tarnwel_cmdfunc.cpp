// SPDX-License-Identifier: Apache-2.0
#include "tarnwel_cmdfunc.h"

#include <cstring>

static void append(ByteString& queue, const uint8_t* bytes, size_t len) {
    size_t at = queue.size();
    queue.resize(at + len);
    memcpy(queue.data() + at, bytes, len);
}

void Tarnwel_CmdFunc::add_cmdline(const uint8_t* cmd, size_t len) {
    if (len == 0)
        return;
    if (current_is_even()) {
        append(m_cmdlines_even, cmd, len);
        m_cmd_bytes_even += static_cast<int>(len);
    } else {
        append(m_cmdlines, cmd, len);
        m_cmd_bytes += static_cast<int>(len);
    }
}

uint8_t* Tarnwel_CmdFunc::reserve_cmdline(size_t most) {
    ByteString& queue = current_queue();
    m_reserved_at = queue.size();
    queue.resize(m_reserved_at + most);  // not cleared: the caller writes what it commits
    return queue.data() + m_reserved_at;
}

void Tarnwel_CmdFunc::commit_cmdline(size_t len) {
    current_queue().resize(m_reserved_at + len);
    (current_is_even() ? m_cmd_bytes_even : m_cmd_bytes) += static_cast<int>(len);
}

void Tarnwel_CmdFunc::add_cmdline_repeated(const ByteString& cmd, int count) {
    if (count <= 0 || cmd.empty())
        return;
    ByteString& queue = current_is_even() ? m_cmdlines_even : m_cmdlines;
    int& bytes = current_is_even() ? m_cmd_bytes_even : m_cmd_bytes;
    size_t at = queue.size();
    size_t total = cmd.size() * static_cast<size_t>(count);
    queue.resize(at + total);
    uint8_t* dst = queue.data() + at;
    for (int i = 0; i < count; i++, dst += cmd.size())
        memcpy(dst, cmd.data(), cmd.size());
    bytes += static_cast<int>(total);
}

static void write_queue(const ByteString& queue, FILE* fp) {
    if (!queue.empty())
        fwrite(queue.data(), 1, queue.size(), fp);
}

void Tarnwel_CmdFunc::drain(FILE* fp) {
    if (m_duplex == DUPLEXMODE_NONE) {
        write_queue(m_cmdlines, fp);
        m_cmdlines.clear();
    } else if (m_pages % 2 == 0) {
        // Earlier sheets are out already: the even page leads its sheet.
        write_queue(m_cmdlines_even, fp);
        m_cmdlines_even.clear();
    }
}

void Tarnwel_CmdFunc::flush(FILE* fp) {
    if (empty())
        return;
    fprintf(stderr, "%s:: \t m_duplex = %d \t m_pages = %d  \n", "flush", m_duplex, m_pages);

    if (m_duplex == DUPLEXMODE_NONE) {
        write_queue(m_cmdlines, fp);
        m_cmd_bytes = 0;
        m_cmdlines.clear();
        return;
    }
    // The odd page of a sheet waits until its even page is complete.
    if (m_pages % 2 != 0)
        return;

    fprintf(stderr, "----->>>>> stdout <%d\t%d>\n", m_cmd_bytes_even, m_cmd_bytes);
    write_queue(m_cmdlines_even, fp);
    write_queue(m_cmdlines, fp);
    m_cmd_bytes_even = 0;
    m_cmd_bytes = 0;
    m_cmdlines_even.clear();
    m_cmdlines.clear();
}
