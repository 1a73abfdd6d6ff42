// engine: first-in first-out float queue.
#include "engine/FloatQueue.h"

#include <algorithm>
#include <cstring>

namespace qir {

bool FloatQueue::Append(const float* source, int n) noexcept
{
    if (n <= 0) {
        return true;
    }
    if (mReadPosition >= mBuffer.GetSize()) {
        (void)mBuffer.Resize(0, false);
        mReadPosition = 0;
    }
    const int oldSize = mBuffer.GetSize();
    const int bytes = n * static_cast<int>(sizeof(float));
    if (mBuffer.Resize(oldSize + bytes, false) != oldSize + bytes) {
        return false;
    }
    if (source != nullptr) {
        std::memcpy(mBuffer.Get() + oldSize, source, static_cast<std::size_t>(bytes));
    }
    return true;
}

bool FloatQueue::AppendZeros(int n) noexcept
{
    if (!Append(nullptr, n)) {
        return false;
    }
    if (n > 0) {
        std::memset(Back(n), 0, static_cast<std::size_t>(n) * sizeof(float));
    }
    return true;
}

int FloatQueue::Available() const noexcept
{
    const int size = mBuffer.GetSize();
    return size > mReadPosition ? (size - mReadPosition) / static_cast<int>(sizeof(float)) : 0;
}

float* FloatQueue::Front() noexcept
{
    if (mReadPosition < 0 || mReadPosition >= mBuffer.GetSize()) {
        return nullptr;
    }
    return reinterpret_cast<float*>(mBuffer.Get() + mReadPosition);
}

float* FloatQueue::Back(int n) noexcept
{
    if (n < 0 || n > Available()) {
        return nullptr;
    }
    return reinterpret_cast<float*>(mBuffer.Get() + mBuffer.GetSize()) - n;
}

void FloatQueue::DropBack(int n) noexcept
{
    const int drop = std::clamp(n, 0, Available());
    (void)mBuffer.Resize(mBuffer.GetSize() - drop * static_cast<int>(sizeof(float)), false);
}

void FloatQueue::Advance(int n) noexcept
{
    mReadPosition = std::clamp(mReadPosition + n * static_cast<int>(sizeof(float)), 0, mBuffer.GetSize());
}

void FloatQueue::Compact() noexcept
{
    const int size = mBuffer.GetSize();
    if (mReadPosition < size / 2) {
        return;
    }
    const int unread = size - mReadPosition;
    if (unread > 0) {
        std::memmove(mBuffer.Get(), mBuffer.Get() + mReadPosition, static_cast<std::size_t>(unread));
    }
    (void)mBuffer.Resize(std::max(unread, 0), false);
    mReadPosition = 0;
}

void FloatQueue::Clear() noexcept
{
    (void)mBuffer.Resize(0, false);
    mReadPosition = 0;
}

void FloatQueue::Reserve(int n) noexcept
{
    const int size = mBuffer.GetSize();
    const int bytes = std::max(n, 0) * static_cast<int>(sizeof(float));
    if (bytes > size) {
        (void)mBuffer.Resize(bytes, false);
        (void)mBuffer.Resize(size, false);
    }
}

} // namespace qir
