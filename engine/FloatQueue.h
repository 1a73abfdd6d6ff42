// engine: a first-in first-out queue of float samples over a growable byte
// buffer, used by the engine to gather host blocks of any length into the
// sound-field stage's 128-frame chunks and to hand the results back.
#pragma once

#include "framework/HeapBuf.h"

namespace qir {

// The unread samples lie between the read position and the end of the buffer.
// Appending grows the buffer (its storage is never given back while the queue
// lives); Compact moves the unread part to the front once at least half of the
// buffer has been read, so a queue that is read as fast as it is written stays
// within a fixed size and stops allocating.
// Audio thread, except Reserve: nothing here waits; Append allocates only when
// the buffer must grow beyond what it ever held.
class FloatQueue {
public:
    static constexpr int kGranularity = 4096;

    FloatQueue() noexcept : mBuffer(kGranularity) {}

    // Appends n floats from source, or n floats of unspecified content when
    // source is null (the caller writes them through Back). When memory runs out
    // the queue is left unchanged and false is returned.
    bool Append(const float* source, int n) noexcept;

    // Appends n zeros; false (queue unchanged) when memory runs out.
    bool AppendZeros(int n) noexcept;

    // Unread floats.
    [[nodiscard]] int Available() const noexcept;

    // The first unread float, or null when nothing is unread.
    [[nodiscard]] float* Front() noexcept;

    // The last n floats appended (null when fewer than n are unread).
    [[nodiscard]] float* Back(int n) noexcept;

    // Removes the last n floats appended (clamped to what is unread).
    void DropBack(int n) noexcept;

    // Marks n floats as read (clamped to what is stored).
    void Advance(int n) noexcept;

    // Moves the unread floats to the start when at least half the buffer is read.
    void Compact() noexcept;

    // Drops everything (the storage is kept).
    void Clear() noexcept;

    // Makes room for n floats so that appends up to that total do not allocate.
    // Main thread, while the audio thread does not use the queue.
    void Reserve(int n) noexcept;

private:
    plugfw::HeapBuf mBuffer;
    int mReadPosition = 0; // in bytes
};

} // namespace qir
