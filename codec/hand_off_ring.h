// A ring of blocks handed in order from the one thread that fills them to the one that
// empties them, whatever they hold: each block has room for bytes and an event of its
// user's kind. The filler waits while every block is handed on and not given back; the
// emptier waits for the next block as long as it likes at a time. Either side may close
// the ring, and the other then stops waiting. It knows no engine and no stream.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>

template <typename Event>
class HandOffRing {
  public:
    struct Block {
        std::unique_ptr<unsigned char[]> data;
        Event event;
    };

    // Takes count blocks with room for size bytes each. Returns false when the memory
    // cannot be had.
    bool Allocate(size_t count, size_t size) {
        m_blocks.reset(new (std::nothrow) Block[count]);
        if (!m_blocks) {
            return false;
        }
        m_count = count;
        for (size_t k = 0; k < count; ++k) {
            m_blocks[k].data.reset(new (std::nothrow) unsigned char[size]);
            if (!m_blocks[k].data) {
                return false;
            }
        }
        return true;
    }

    // The filler's next block; the same block again until it is handed on. When none
    // is free, it waits until half are: a filler woken for every block given back spends
    // as long waking as filling, with streams of a few bytes each.
    Block* Claim() {
        std::unique_lock<std::mutex> lock(m_lock);
        if (m_handed - m_returned == m_count) {
            m_given.wait(lock, [this] { return m_closed || m_handed - m_returned <= m_count / 2; });
        }
        return m_closed ? nullptr : &m_blocks[m_handed % m_count];
    }

    // Hands the block Claim gave on to the emptier.
    void HandOn() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_handed;
        }
        m_handedOn.notify_one();
    }

    // Waits until the emptier has given back every block handed on. Returns false once
    // the ring is closed.
    bool AwaitAllGivenBack() {
        std::unique_lock<std::mutex> lock(m_lock);
        m_given.wait(lock, [this] { return m_closed || m_returned == m_handed; });
        return !m_closed;
    }

    // The emptier's next block, waiting at most limit for it; null when none came or the
    // ring is closed.
    Block* Next(std::chrono::milliseconds limit) {
        std::unique_lock<std::mutex> lock(m_lock);
        m_handedOn.wait_for(lock, limit, [this] { return m_closed || m_returned < m_handed; });
        return m_closed || m_returned == m_handed ? nullptr : &m_blocks[m_returned % m_count];
    }

    // Gives back the block Next returned, for the filler to use again.
    void GiveBack() {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            ++m_returned;
            // What a waiting filler waits for: half the blocks free, or all.
            const uint64_t inUse = m_handed - m_returned;
            wake = inUse == m_count / 2 || inUse == 0;
        }
        if (wake) {
            m_given.notify_one();
        }
    }

    void Close() {
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_closed = true;
        }
        m_given.notify_all();
        m_handedOn.notify_all();
    }

  private:
    std::unique_ptr<Block[]> m_blocks;
    size_t m_count = 0;
    std::mutex m_lock;
    std::condition_variable m_given;     // a block was given back, or the ring closed
    std::condition_variable m_handedOn;  // a block was handed on, or the ring closed
    uint64_t m_handed = 0;               // blocks handed on so far
    uint64_t m_returned = 0;             // blocks given back so far
    bool m_closed = false;
};
