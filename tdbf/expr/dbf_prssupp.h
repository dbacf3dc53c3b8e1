#pragma once
// The object lists of the expression engine. TOCollection owns its items
// and releases them through FreeItem; TNoOwnerCollection only refers to
// items owned elsewhere; TSortedCollection keeps its items ordered by key
// and finds them by binary search, optionally with duplicate keys.

#include <cassert>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/exceptions.h"

// A list of objects it owns. Items are adopted on insertion and released
// by FreeItem when they are freed (AtFree, FreeAll, destruction); Extract
// hands an item back to the caller without releasing it.
template <class T>
class TOCollection {
 public:
  explicit TOCollection(int capacity = 0) { items_.reserve(static_cast<size_t>(capacity)); }
  virtual ~TOCollection() { FreeAll(); }
  TOCollection(const TOCollection&) = delete;
  TOCollection& operator=(const TOCollection&) = delete;

  int Count() const { return static_cast<int>(items_.size()); }
  // The item at index; EListError outside [0, Count()).
  T* At(int index) const {
    CheckIndex(index);
    return items_[static_cast<size_t>(index)].get();
  }
  T* operator[](int index) const { return At(index); }
  // Position of the item (by identity), or -1.
  int IndexOf(const T* item) const {
    for (size_t i = 0; i < items_.size(); ++i)
      if (items_[i].get() == item) return static_cast<int>(i);
    return -1;
  }

  // Appends the item; returns its index.
  int Add(std::unique_ptr<T> item) {
    items_.push_back(std::move(item));
    return Count() - 1;
  }
  // Inserts the item at index (0..Count()).
  void AtInsert(int index, std::unique_ptr<T> item) {
    if (index < 0 || index > Count()) ListIndexError(index);
    items_.insert(items_.begin() + index, std::move(item));
  }
  // Removes the entry at index and gives the item back unreleased.
  std::unique_ptr<T> Extract(int index) {
    CheckIndex(index);
    std::unique_ptr<T> item = std::move(items_[static_cast<size_t>(index)]);
    items_.erase(items_.begin() + index);
    return item;
  }
  // Removes the entry at index, then releases its item.
  void AtFree(int index) { FreeItem(Extract(index)); }
  // Releases every item in index order and empties the list. The list is
  // emptied before the first release, so it is empty even when one fails.
  void FreeAll() {
    std::vector<std::unique_ptr<T>> items = std::move(items_);
    items_.clear();
    for (auto& item : items) FreeItem(std::move(item));
  }

 protected:
  // Releases one item that has left the list.
  virtual void FreeItem(std::unique_ptr<T> item) { item.reset(); }

  void CheckIndex(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
  }

  std::vector<std::unique_ptr<T>> items_;
};

// A list of objects owned elsewhere: freeing an entry only drops it.
template <class T>
class TNoOwnerCollection {
 public:
  explicit TNoOwnerCollection(int capacity = 0) { items_.reserve(static_cast<size_t>(capacity)); }

  int Count() const { return static_cast<int>(items_.size()); }
  T* At(int index) const {
    if (index < 0 || index >= Count()) ListIndexError(index);
    return items_[static_cast<size_t>(index)];
  }
  T* operator[](int index) const { return At(index); }
  int Add(T* item) {
    items_.push_back(item);
    return Count() - 1;
  }
  void SetAt(int index, T* item) {
    if (index < 0 || index >= Count()) ListIndexError(index);
    items_[static_cast<size_t>(index)] = item;
  }
  // Removes the entry at index (the item itself stays untouched).
  void AtFree(int index) {
    if (index < 0 || index >= Count()) ListIndexError(index);
    items_.erase(items_.begin() + index);
  }
  // Removes the entries first .. last - 1.
  void FreeRange(int first, int last) {
    if (first < 0 || first > last || last > Count()) ListIndexError(first);
    items_.erase(items_.begin() + first, items_.begin() + last);
  }
  void FreeAll() { items_.clear(); }

 private:
  std::vector<T*> items_;
};

// An owning list kept in key order. Compare orders two keys; KeyOf gives
// an item's key (by default the item itself). With Duplicates off an item
// whose key is present is refused; with Duplicates on a new item lands in
// front of the entries with an equal key, so the newest comes first.
template <class T, class K = const T*>
class TSortedCollection : public TOCollection<T> {
 public:
  using TOCollection<T>::TOCollection;

  bool Duplicates() const { return duplicates_; }
  void SetDuplicates(bool value) { duplicates_ = value; }

  // Negative, zero or positive as key1 sorts before, with or after key2.
  virtual int Compare(K key1, K key2) const = 0;

  // Index of this very item, or -1.
  virtual int PositionOf(const T* item) const {
    int index;
    if (!Search(KeyOf(item), index)) return -1;
    if (!duplicates_) return index;
    while (index < this->Count() && this->items_[static_cast<size_t>(index)].get() != item) ++index;
    return index < this->Count() ? index : -1;
  }

  // Inserts the item in key order. Returns nullptr when inserted; a
  // refused item (key present, Duplicates off) comes back unreleased.
  [[nodiscard]] virtual std::unique_ptr<T> Insert(std::unique_ptr<T> item) {
    int index;
    if (Search(KeyOf(item.get()), index) && !duplicates_) return item;
    this->AtInsert(index, std::move(item));
    return nullptr;
  }

  // Takes the entry with the item's key out of the list (unreleased, given
  // back to the caller; nullptr when none), then inserts the item.
  virtual std::unique_ptr<T> ReplaceByKey(std::unique_ptr<T> item) {
    int index;
    std::unique_ptr<T> old;
    if (Search(KeyOf(item.get()), index)) old = this->Extract(index);
    std::unique_ptr<T> refused = Insert(std::move(item));
    assert(!refused);
    (void)refused;
    return old;
  }

  virtual K KeyOf(const T* item) const {
    if constexpr (std::is_convertible_v<const T*, K>) {
      return item;
    } else {
      assert(false && "KeyOf must be overridden for this key type");
      return K();
    }
  }

  // Binary search for key. Returns whether it was found; index is the
  // first entry with that key (with Duplicates on) or the insertion point.
  virtual bool Search(K key, int& index) const {
    int lo = 0;
    int hi = this->Count() - 1;
    bool found = false;
    while (lo <= hi) {
      int mid = (lo + hi) / 2;
      int c = Compare(KeyOf(this->items_[static_cast<size_t>(mid)].get()), key);
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid - 1;
        if (c == 0) {
          found = true;
          if (!duplicates_) lo = mid;
        }
      }
    }
    index = lo;
    return found;
  }

 private:
  bool duplicates_ = false;
};
