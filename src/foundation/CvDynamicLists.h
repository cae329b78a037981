#pragma once

// The maker's containers.
//
// TDynamicList: a growable array of fixed-size records that can keep itself sorted (by the
// virtual Compare of a subclass), reject duplicates, stream itself and be shared through the
// reference-counted interface IDynamicList. TIntList: the same for int32 values. TFastList: a
// lean list of object pointers. None of them owns the objects it points to.
//
// Lifetime of a TDynamicList: an owner destroys it with Free() (or delete / std::unique_ptr
// when no interface reference can be outstanding); a list handed out through IDynamicList is
// destroyed by the Release of its last reference and must then live on the heap. Free()
// raises EInvalidPointer "Reference count not zero." and leaves the list alive while
// interface references exist; a destructor cannot raise, so a plain delete in that state only
// logs the fault. Decisions and deviations: docs/dynamic-lists.md.
//
// Indexes are checked: one outside the list raises EListError instead of touching memory
// that is not the list's.

#include "CvStrUtils.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class QIODevice;
class TPropertyReader;
class TPropertyWriter;

// {B830C3C2-4F71-11D5-8927-0050042FABDD}
inline constexpr TGUID IID_IDynamicList = {
    0xB830C3C2, 0x4F71, 0x11D5, {0x89, 0x27, 0x00, 0x50, 0x04, 0x2F, 0xAB, 0xDD}};

// Results of QueryInterface.
inline constexpr qint32 kIntfOK = 0;
inline constexpr qint32 kIntfNoInterface = static_cast<qint32>(0x80004002u);  // E_NOINTERFACE

// Shared access to a dynamic list; each operation does what the TDynamicList method of the
// same name does. Not deleted through this interface: the last Release destroys the list.
class IDynamicList {
 public:
  // kIntfOK and a referenced pointer in *obj for IID_IDynamicList; kIntfNoInterface and
  // nullptr otherwise.
  virtual qint32 QueryInterface(const TGUID& iid, void** obj) = 0;
  // Both return the new reference count.
  virtual qint32 AddRef() = 0;
  virtual qint32 Release() = 0;

  virtual int Add(const void* item) = 0;
  virtual void Clear() = 0;
  virtual void Delete(int index) = 0;
  virtual void Exchange(int index1, int index2) = 0;
  virtual void Fill(const void* item) = 0;
  virtual bool Find(const void* key, int& index) const = 0;
  virtual int GetCapacity() const = 0;
  virtual int GetCount() const = 0;
  virtual void* GetData() const = 0;
  virtual bool GetDescending() const = 0;
  virtual bool GetDuplicates() const = 0;
  virtual int GetItemSize() const = 0;
  virtual bool GetSorted() const = 0;
  virtual int IndexOf(const void* key) const = 0;
  virtual void Insert(int index, const void* item) = 0;
  virtual void LoadFromStream(QIODevice& stream) = 0;
  virtual void SaveToStream(QIODevice& stream) const = 0;
  virtual void SetCapacity(int newCapacity) = 0;
  virtual void SetCount(int newCount) = 0;
  virtual void SetDescending(bool value) = 0;
  virtual void SetDuplicates(bool value) = 0;
  virtual void SetSorted(bool value) = 0;
  virtual void Sort() = 0;

 protected:
  IDynamicList() = default;
  ~IDynamicList() = default;
};

class TDynamicList : public IDynamicList {
 public:
  // itemSize > 0 bytes per item; binaryStreaming chooses how Items is streamed.
  TDynamicList(int itemSize, bool binaryStreaming);
  virtual ~TDynamicList();

  TDynamicList(const TDynamicList&) = delete;
  TDynamicList& operator=(const TDynamicList&) = delete;

  // Destroys a heap-allocated list; raises EInvalidPointer "Reference count not zero." and
  // keeps the list while interface references exist.
  void Free();

  virtual QString ClassName() const { return QStringLiteral("TDynamicList"); }

  // Order of two items: <0, 0, >0. The base class cannot order: it raises EListError.
  virtual int Compare(const void* item, const void* key) const;
  void Exchange(int index1, int index2) override;
  void Insert(int index, const void* item) override;
  // Read or write one item of a list streamed as a list of values; the base does nothing.
  virtual void ReadItem(TPropertyReader& reader, void* item);
  void SetCapacity(int newCapacity) override;
  virtual void WriteItem(TPropertyWriter& writer, const void* item) const;
  void Delete(int index) override;

  // Unsorted: appends. Sorted: inserts in order; an equal item raises EListError unless
  // Duplicates is set. Returns the item's index.
  int Add(const void* item) override;
  void Clear() override;
  // Makes every item a copy of *item.
  void Fill(const void* item) override;
  // Binary search (the list must be in Compare order): true and the index of an equal item,
  // or false and the index at which the key belongs.
  bool Find(const void* key, int& index) const override;
  // Index of an equal item (sorted: by Find; unsorted: the first), -1 when none.
  int IndexOf(const void* key) const override;
  // Items added by growing Count are zero.
  void SetCount(int newCount) override;
  void Sort() override;

  void SetSorted(bool value) override;
  void SetDuplicates(bool value) override { FDuplicates = value; }
  void SetDescending(bool value) override;

  // Replace the list's items with those of the stream (the list stays unchanged when the
  // stream is unreadable); save all items.
  void LoadFromStream(QIODevice& stream) override;
  void SaveToStream(QIODevice& stream) const override;
  void LoadFromBytes(const QByteArray& bytes);
  QByteArray SaveToBytes() const;

  // Copies count and items of a list with the same item size (the flags stay); anything else
  // raises EConvertError.
  virtual void Assign(const TDynamicList* source);

  // Called first when the list is destroyed, with the list as argument.
  std::function<void(TDynamicList* sender)> OnDestroy;

  void* Data() const { return FData; }
  int Count() const { return FCount; }
  int Capacity() const { return FCapacity; }
  int ItemSize() const { return FItemSize; }
  bool Sorted() const { return FSorted; }
  bool Duplicates() const { return FDuplicates; }
  bool Descending() const { return FDescending; }
  bool BinaryStreaming() const { return FBinaryStreaming; }
  qint32 RefCount() const { return FRefCount.load(); }

  // Address of item index (checked).
  void* ItemPtr(int index) const;

  // IDynamicList
  qint32 QueryInterface(const TGUID& iid, void** obj) override;
  qint32 AddRef() override;
  qint32 Release() override;
  int GetCapacity() const override { return FCapacity; }
  int GetCount() const override { return FCount; }
  void* GetData() const override { return FData; }
  bool GetDescending() const override { return FDescending; }
  bool GetDuplicates() const override { return FDuplicates; }
  int GetItemSize() const override { return FItemSize; }
  bool GetSorted() const override { return FSorted; }

 protected:
  // Capacity after growing for one more item.
  void Grow();
  // Quicksort of the items left..right through Compare and Exchange.
  void QuickSort(int left, int right);
  void CheckIndex(int index, int limit) const;
  char* At(int index) const { return FData + static_cast<qsizetype>(index) * FItemSize; }

 private:
  void NotifyDestroy();
  void ReadItems(TPropertyReader& reader);
  void ReadBinaryItems(const QByteArray& bytes);

  char* FData = nullptr;
  int FCount = 0;
  int FCapacity = 0;
  const int FItemSize;
  bool FSorted = false;
  bool FDuplicates = false;
  bool FDescending = false;
  const bool FBinaryStreaming;
  bool FDestroyNotified = false;
  std::atomic<qint32> FRefCount{0};
};

// A list of int32 values, streamed as a list of integers. Compare orders by value, reversed
// when Descending.
class TIntList : public TDynamicList {
 public:
  TIntList() : TDynamicList(sizeof(qint32), false) {}

  QString ClassName() const override { return QStringLiteral("TIntList"); }
  int Compare(const void* item, const void* key) const override;
  void ReadItem(TPropertyReader& reader, void* item) override;
  void WriteItem(TPropertyWriter& writer, const void* item) const override;

  // Typed view of the items; valid until the capacity changes (fetch it again after).
  qint32* Items() const { return static_cast<qint32*>(Data()); }
  qint32 Item(int index) const { return *static_cast<const qint32*>(ItemPtr(index)); }
  void SetItem(int index, qint32 value) { *static_cast<qint32*>(ItemPtr(index)) = value; }

  int Add(qint32 value) { return TDynamicList::Add(&value); }
  void Insert(int index, qint32 value) { TDynamicList::Insert(index, &value); }
  bool Find(qint32 key, int& index) const { return TDynamicList::Find(&key, index); }
  int IndexOf(qint32 key) const { return TDynamicList::IndexOf(&key); }
  void Fill(qint32 value) { TDynamicList::Fill(&value); }
  using TDynamicList::Add;
  using TDynamicList::Fill;
  using TDynamicList::Find;
  using TDynamicList::IndexOf;
  using TDynamicList::Insert;
};

// Order of two objects of a TFastList: <0, 0, >0.
using TFastListCompare = std::function<int(void* item1, void* item2)>;

// A list of object pointers that it does not own.
class TFastList {
 public:
  TFastList() = default;
  virtual ~TFastList();

  TFastList(const TFastList&) = delete;
  TFastList& operator=(const TFastList&) = delete;

  int Add(void* obj);
  void Insert(int index, void* obj);
  void Delete(int index);
  // Deletes the last place holding obj; its index, or -1.
  int Remove(const void* obj);
  // The highest index holding obj (searched from the end), or -1.
  int IndexOf(const void* obj) const;
  void Clear();
  // New places hold nullptr.
  void SetCount(int newCount);
  void SetCapacity(int newCapacity);
  void Sort(const TFastListCompare& compare);

  void** List() const { return FList; }
  int Count() const { return FCount; }
  int Capacity() const { return FCapacity; }
  void* Items(int index) const;
  void SetItem(int index, void* obj);
  template <class T>
  T* ItemAs(int index) const {
    return static_cast<T*>(Items(index));
  }

 private:
  void Grow();
  void CheckIndex(int index, int limit) const;
  void QuickSort(int left, int right, const TFastListCompare& compare);

  void** FList = nullptr;
  int FCount = 0;
  int FCapacity = 0;
};

// Helpers for a list variable that may hold no list; the variable owns the list it holds.

// Adds obj, creating the list first when there is none; the index of obj.
int FastListAdd(TFastList*& list, void* obj);
// Deletes item index; frees the list and clears the variable when it becomes empty. Nothing
// happens when there is no list.
void FastListDelete(TFastList*& list, int index);

// Deletes every object of the list (held as T*), from the last to the first, then the list,
// and clears the variable. Nothing happens when there is no list.
template <class T>
void FastListFreeAll(TFastList*& list) {
  std::unique_ptr<TFastList> owned(list);
  list = nullptr;
  if (!owned) return;
  for (int i = owned->Count() - 1; i >= 0; --i) {
    delete static_cast<T*>(owned->Items(i));
  }
}
