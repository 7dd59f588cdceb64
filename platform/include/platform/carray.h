// CArray: the growable array of records the system's interfaces pass by reference.
#pragma once

#include <cstddef>
#include <vector>

template <class T, class ArgT = const T&> class CArray {
public:
    int GetSize() const { return static_cast<int>(items_.size()); }
    int GetCount() const { return GetSize(); }
    bool IsEmpty() const { return items_.empty(); }
    int GetUpperBound() const { return GetSize() - 1; }

    // Resizes; the storage is freed when the new size is 0.
    void SetSize(int size) {
        if (size <= 0) {
            RemoveAll();
            return;
        }
        items_.resize(static_cast<size_t>(size));
    }
    // Empties the array and frees its storage.
    void RemoveAll() { std::vector<T>().swap(items_); }

    int Add(ArgT item) {
        items_.push_back(item);
        return GetSize() - 1;
    }
    void RemoveAt(int index, int count = 1) {
        items_.erase(items_.begin() + index, items_.begin() + index + count);
    }
    void InsertAt(int index, ArgT item) { items_.insert(items_.begin() + index, item); }

    const T& GetAt(int index) const { return items_.at(static_cast<size_t>(index)); }
    T& ElementAt(int index) { return items_.at(static_cast<size_t>(index)); }
    void SetAt(int index, ArgT item) { items_.at(static_cast<size_t>(index)) = item; }
    T& operator[](int index) { return ElementAt(index); }
    const T& operator[](int index) const { return GetAt(index); }
    T* GetData() { return items_.data(); }
    const T* GetData() const { return items_.data(); }

private:
    std::vector<T> items_;
};
