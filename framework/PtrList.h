// framework: an ordered list of pointers. The list does not own its pointees by
// itself; Empty(true) and Delete(i, true) free them, and OwnedPtrList frees them
// in its destructor.
#pragma once

#include <algorithm>
#include <cstddef>
#include <new>
#include <vector>

namespace plugfw {

template <typename T>
class PtrList {
public:
    // granularity in bytes: storage for this many bytes of pointers is reserved
    // at a time, so appends within a granule never reallocate.
    explicit PtrList(int granularity = 0) noexcept
        : mGranularity(std::max<std::size_t>(1, static_cast<std::size_t>(std::max(granularity, 0)) / sizeof(T*)))
    {
    }

    PtrList(const PtrList&) = delete;
    PtrList& operator=(const PtrList&) = delete;
    virtual ~PtrList() = default;

    [[nodiscard]] int GetSize() const noexcept { return static_cast<int>(mPtrs.size()); }

    // Pointer i, or null when i is out of range.
    [[nodiscard]] T* Get(int i) const noexcept
    {
        return (i >= 0 && i < GetSize()) ? mPtrs[static_cast<std::size_t>(i)] : nullptr;
    }
    [[nodiscard]] T* GetFirst() const noexcept { return Get(0); }
    [[nodiscard]] T* GetLast() const noexcept { return Get(GetSize() - 1); }

    // Direct access to the pointer table (valid until the next change).
    [[nodiscard]] T** GetList() noexcept { return mPtrs.empty() ? nullptr : mPtrs.data(); }

    // Appends p and returns it; null when memory ran out.
    T* Add(T* p) noexcept { return Insert(GetSize(), p); }

    // Inserts p before position i (clamped to the list) and returns it; null when
    // memory ran out.
    T* Insert(int i, T* p) noexcept
    {
        const std::size_t at = static_cast<std::size_t>(std::clamp(i, 0, GetSize()));
        try {
            if (mPtrs.size() == mPtrs.capacity()) {
                mPtrs.reserve((mPtrs.size() / mGranularity + 1) * mGranularity);
            }
            mPtrs.insert(mPtrs.begin() + static_cast<std::ptrdiff_t>(at), p);
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
        return p;
    }

    // Index of p, or -1.
    [[nodiscard]] int Find(const T* p) const noexcept
    {
        const auto it = std::find(mPtrs.begin(), mPtrs.end(), p);
        return it == mPtrs.end() ? -1 : static_cast<int>(it - mPtrs.begin());
    }

    // Removes entry i (nothing when out of range), deleting the pointee when asked.
    void Delete(int i, bool deletePointee = false) noexcept
    {
        if (i < 0 || i >= GetSize()) {
            return;
        }
        T* p = mPtrs[static_cast<std::size_t>(i)];
        mPtrs.erase(mPtrs.begin() + i);
        if (deletePointee) {
            delete p;
        }
    }

    // Removes every entry, deleting the pointees when asked, and releases storage.
    void Empty(bool deletePointees = false) noexcept
    {
        if (deletePointees) {
            for (T* p : mPtrs) {
                delete p;
            }
        }
        std::vector<T*>().swap(mPtrs);
    }

private:
    std::vector<T*> mPtrs;
    std::size_t mGranularity;
};

// A pointer list that owns its pointees and deletes them when it is destroyed.
template <typename T>
class OwnedPtrList : public PtrList<T> {
public:
    using PtrList<T>::PtrList;
    ~OwnedPtrList() override { this->Empty(true); }
};

} // namespace plugfw
