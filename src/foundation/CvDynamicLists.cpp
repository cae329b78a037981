#include "CvDynamicLists.h"

#include "CvErrors.h"
#include "CvPropertyStream.h"

#include <QBuffer>
#include <QVarLengthArray>
#include <QtEndian>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace {

const QString kItemsProperty = QStringLiteral("Items");

// Capacity after growing a full list by one step: by a quarter above 64, by 16 from 9 to 64,
// by 4 up to 8. Computed wide so that the capacity limit, not an overflow, stops a huge list.
qint64 GrownCapacity(int capacity) {
  qint64 delta = 4;
  if (capacity > 64) {
    delta = capacity / 4;
  } else if (capacity > 8) {
    delta = 16;
  }
  return std::min<qint64>(capacity + delta, std::numeric_limits<int>::max());
}

[[noreturn]] void IndexError(int index) {
  throw EListError(QStringLiteral("List index out of bounds (%1).").arg(index));
}

// True when p points into the block [data, data + size): such an item must be copied before
// the block moves or is overwritten.
bool PointsInto(const void* p, const char* data, qsizetype size) {
  const auto address = reinterpret_cast<std::uintptr_t>(p);
  const auto begin = reinterpret_cast<std::uintptr_t>(data);
  return data && address >= begin && address < begin + static_cast<std::uintptr_t>(size);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// TDynamicList

TDynamicList::TDynamicList(int itemSize, bool binaryStreaming)
    : FItemSize(itemSize), FBinaryStreaming(binaryStreaming) {
  if (itemSize <= 0) {
    throw EListError(QStringLiteral("TDynamicList: Invalid item size %1.").arg(itemSize));
  }
}

TDynamicList::~TDynamicList() {
  if (FRefCount.load() != 0) {
    // Free() refuses this; a destructor cannot raise, so the fault is only logged.
    qCritical("%s destroyed with %d interface references left", qUtf8Printable(ClassName()),
              int(FRefCount.load()));
  }
  NotifyDestroy();
  std::free(FData);
}

void TDynamicList::Free() {
  if (FRefCount.load() != 0) throw EInvalidPointer(QStringLiteral("Reference count not zero."));
  NotifyDestroy();
  delete this;
}

void TDynamicList::NotifyDestroy() {
  if (FDestroyNotified) return;
  FDestroyNotified = true;
  if (!OnDestroy) return;
  // A notification must not stop the destruction (nor escape a destructor).
  try {
    OnDestroy(this);
  } catch (const std::exception& e) {
    qWarning("OnDestroy of %s failed: %s", qUtf8Printable(ClassName()), e.what());
  } catch (...) {
    qWarning("OnDestroy of %s failed", qUtf8Printable(ClassName()));
  }
}

void TDynamicList::CheckIndex(int index, int limit) const {
  if (index < 0 || index > limit) IndexError(index);
}

void* TDynamicList::ItemPtr(int index) const {
  CheckIndex(index, FCount - 1);
  return At(index);
}

int TDynamicList::Compare(const void*, const void*) const {
  throw EListError(QStringLiteral("TDynamicList.Compare: ") + ClassName() +
                   QStringLiteral(" does not support sorting."));
}

void TDynamicList::Exchange(int index1, int index2) {
  CheckIndex(index1, FCount - 1);
  CheckIndex(index2, FCount - 1);
  if (index1 == index2) return;
  std::swap_ranges(At(index1), At(index1) + FItemSize, At(index2));
}

void TDynamicList::Insert(int index, const void* item) {
  CheckIndex(index, FCount);
  // An item of this very list would move with the block; copy it first.
  QVarLengthArray<char, 64> copy;
  if (PointsInto(item, FData, static_cast<qsizetype>(FCapacity) * FItemSize)) {
    copy.resize(FItemSize);
    std::memcpy(copy.data(), item, FItemSize);
    item = copy.constData();
  }
  if (FCount == FCapacity) Grow();
  if (index < FCount) {
    std::memmove(At(index + 1), At(index), static_cast<size_t>(FCount - index) * FItemSize);
  }
  std::memcpy(At(index), item, FItemSize);
  ++FCount;
}

void TDynamicList::ReadItem(TPropertyReader&, void*) {}

void TDynamicList::WriteItem(TPropertyWriter&, const void*) const {}

void TDynamicList::SetCapacity(int newCapacity) {
  if (newCapacity > std::numeric_limits<qint32>::max() / FItemSize - 1) {
    throw EListError(QStringLiteral("TDynamicList.SetCapacity: The maximum size of the list has been reached."));
  }
  if (newCapacity < 0) {
    throw EListError(QStringLiteral("TDynamicList.SetCapacity: Invalid capacity %1.").arg(newCapacity));
  }
  if (newCapacity == FCapacity) return;
  if (newCapacity == 0) {
    std::free(FData);
    FData = nullptr;
  } else {
    void* block = std::realloc(FData, static_cast<size_t>(newCapacity) * FItemSize);
    if (!block) throw std::bad_alloc();  // the old block stays as it was
    FData = static_cast<char*>(block);
  }
  FCapacity = newCapacity;
  // Items beyond a smaller capacity are gone; keep Count within the block.
  FCount = std::min(FCount, FCapacity);
}

void TDynamicList::Delete(int index) {
  CheckIndex(index, FCount - 1);
  --FCount;
  if (index < FCount) {
    std::memmove(At(index), At(index + 1), static_cast<size_t>(FCount - index) * FItemSize);
  }
}

void TDynamicList::Grow() {
  const qint64 grown = GrownCapacity(FCapacity);
  SetCapacity(static_cast<int>(grown));
}

int TDynamicList::Add(const void* item) {
  int index = FCount;
  if (FSorted) {
    if (Find(item, index) && !FDuplicates) {
      throw EListError(QStringLiteral("TDynamicList.Add: Duplicate items are not allowed."));
    }
  }
  Insert(index, item);
  return index;
}

void TDynamicList::Clear() {
  SetCount(0);
  SetCapacity(0);
}

void TDynamicList::Fill(const void* item) {
  if (FCount == 0) return;
  // memmove: the item may be one of this list's own.
  std::memmove(At(0), item, FItemSize);
  // Double the filled prefix each step: few large copies instead of one per item.
  int filled = 1;
  while (filled < FCount) {
    const int step = std::min(filled, FCount - filled);
    std::memcpy(At(filled), At(0), static_cast<size_t>(step) * FItemSize);
    filled += step;
  }
}

bool TDynamicList::Find(const void* key, int& index) const {
  int low = 0;
  int high = FCount - 1;
  while (low <= high) {
    const int middle = low + (high - low) / 2;
    const int order = Compare(At(middle), key);
    if (order < 0) {
      low = middle + 1;
    } else if (order > 0) {
      high = middle - 1;
    } else {
      index = middle;
      return true;
    }
  }
  index = low;
  return false;
}

int TDynamicList::IndexOf(const void* key) const {
  if (FSorted) {
    int index = -1;
    return Find(key, index) ? index : -1;
  }
  for (int i = 0; i < FCount; ++i) {
    if (Compare(At(i), key) == 0) return i;
  }
  return -1;
}

void TDynamicList::SetCount(int newCount) {
  if (newCount < 0) {
    throw EListError(QStringLiteral("TDynamicList.SetCount: Invalid count %1.").arg(newCount));
  }
  if (newCount > FCapacity) SetCapacity(newCount);
  if (newCount > FCount) {
    std::memset(At(FCount), 0, static_cast<size_t>(newCount - FCount) * FItemSize);
  }
  FCount = newCount;
}

void TDynamicList::Sort() {
  // A list marked Sorted is kept in order by Add already.
  if (!FSorted && FCount > 1) QuickSort(0, FCount - 1);
}

void TDynamicList::SetSorted(bool value) {
  if (value == FSorted) return;
  if (value) Sort();
  FSorted = value;
}

void TDynamicList::SetDescending(bool value) {
  if (value == FDescending) return;
  FDescending = value;
  if (FSorted && FCount > 1) QuickSort(0, FCount - 1);
}

void TDynamicList::QuickSort(int left, int right) {
  QVarLengthArray<char, 64> pivot(FItemSize);
  while (left < right) {
    std::memcpy(pivot.data(), At(left + (right - left) / 2), FItemSize);
    int i = left;
    int j = right;
    do {
      // The bounds only matter for a Compare that is not a consistent order.
      while (i < right && Compare(At(i), pivot.constData()) < 0) ++i;
      while (j > left && Compare(At(j), pivot.constData()) > 0) --j;
      if (i <= j) {
        Exchange(i, j);
        ++i;
        --j;
      }
    } while (i <= j);
    // Recurse into the smaller part and loop on the larger one, so the depth stays
    // logarithmic. The parts are disjoint, so the order of sorting them does not matter.
    if (j - left < right - i) {
      if (left < j) QuickSort(left, j);
      left = i;
    } else {
      if (i < right) QuickSort(i, right);
      right = j;
    }
  }
}

void TDynamicList::SaveToStream(QIODevice& stream) const {
  TPropertyWriter writer(stream);
  writer.WriteSignature();
  if (FCount > 0) {
    writer.WritePropName(kItemsProperty);
    if (FBinaryStreaming) {
      const qsizetype itemBytes = static_cast<qsizetype>(FCount) * FItemSize;
      QByteArray bytes(4 + itemBytes, Qt::Uninitialized);
      qToLittleEndian<qint32>(FCount, bytes.data());
      std::memcpy(bytes.data() + 4, FData, itemBytes);
      writer.WriteBinary(bytes);
    } else {
      writer.WriteListBegin();
      for (int i = 0; i < FCount; ++i) WriteItem(writer, At(i));
      writer.WriteListEnd();
    }
  }
  writer.WriteEndOfProperties();
}

void TDynamicList::LoadFromStream(QIODevice& stream) {
  // Read into an empty block with the current one kept aside, so that an unreadable stream
  // leaves the list as it was.
  char* const oldData = FData;
  const int oldCount = FCount;
  const int oldCapacity = FCapacity;
  FData = nullptr;
  FCount = 0;
  FCapacity = 0;
  try {
    TPropertyReader reader(stream);
    reader.ReadSignature();
    bool haveItems = false;
    for (QString name = reader.ReadPropName(); !name.isEmpty(); name = reader.ReadPropName()) {
      if (name != kItemsProperty || haveItems) {
        throw EStreamError(QStringLiteral("TDynamicList.LoadFromStream: Unexpected property \"%1\".").arg(name));
      }
      haveItems = true;
      if (FBinaryStreaming) {
        ReadBinaryItems(reader.ReadBinary());
      } else {
        ReadItems(reader);
      }
    }
    // A sorted list stays sorted whatever order the stream holds.
    if (FSorted && FCount > 1) QuickSort(0, FCount - 1);
  } catch (...) {
    std::free(FData);
    FData = oldData;
    FCount = oldCount;
    FCapacity = oldCapacity;
    throw;
  }
  std::free(oldData);
}

void TDynamicList::ReadBinaryItems(const QByteArray& bytes) {
  if (bytes.size() < 4) {
    throw EStreamError(QStringLiteral("TDynamicList.LoadFromStream: The item data is too short."));
  }
  const qint32 count = qFromLittleEndian<qint32>(bytes.constData());
  if (count < 0 || bytes.size() - 4 != static_cast<qint64>(count) * FItemSize) {
    throw EStreamError(QStringLiteral("TDynamicList.LoadFromStream: %1 bytes of item data do not hold %2 items of %3 bytes.")
                           .arg(bytes.size() - 4)
                           .arg(count)
                           .arg(FItemSize));
  }
  SetCapacity(count);
  std::memcpy(FData, bytes.constData() + 4, static_cast<size_t>(count) * FItemSize);
  FCount = count;
}

void TDynamicList::ReadItems(TPropertyReader& reader) {
  reader.ReadListBegin();
  while (!reader.EndOfList()) {
    if (FCount == FCapacity) Grow();
    std::memset(At(FCount), 0, FItemSize);
    const qint64 before = reader.Position();
    ReadItem(reader, At(FCount));
    // A class that reads nothing would never reach the list end.
    if (reader.Position() == before) {
      throw EStreamError(QStringLiteral("TDynamicList.LoadFromStream: ") + ClassName() +
                         QStringLiteral(" cannot read its items."));
    }
    ++FCount;
  }
  reader.ReadListEnd();
  SetCapacity(FCount);
}

void TDynamicList::LoadFromBytes(const QByteArray& bytes) {
  QBuffer buffer;
  buffer.setData(bytes);
  buffer.open(QIODevice::ReadOnly);
  LoadFromStream(buffer);
}

QByteArray TDynamicList::SaveToBytes() const {
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  SaveToStream(buffer);
  buffer.close();
  return bytes;
}

void TDynamicList::Assign(const TDynamicList* source) {
  if (!source || source->FItemSize != FItemSize) {
    throw EConvertError(QStringLiteral("Cannot assign a %1 to a %2.")
                            .arg(source ? source->ClassName() : QStringLiteral("nil"), ClassName()));
  }
  if (source == this) return;
  const int count = source->FCount;
  SetCapacity(count);
  if (count > 0) std::memcpy(FData, source->FData, static_cast<size_t>(count) * FItemSize);
  FCount = count;
}

qint32 TDynamicList::QueryInterface(const TGUID& iid, void** obj) {
  if (!obj) return kIntfNoInterface;
  if (iid == IID_IDynamicList) {
    *obj = static_cast<IDynamicList*>(this);
    AddRef();
    return kIntfOK;
  }
  *obj = nullptr;
  return kIntfNoInterface;
}

qint32 TDynamicList::AddRef() { return ++FRefCount; }

qint32 TDynamicList::Release() {
  const qint32 count = --FRefCount;
  if (count == 0) {
    NotifyDestroy();
    delete this;
  }
  return count;
}

// ---------------------------------------------------------------------------------------------
// TIntList

int TIntList::Compare(const void* item, const void* key) const {
  const qint32 a = *static_cast<const qint32*>(item);
  const qint32 b = *static_cast<const qint32*>(key);
  const int order = a < b ? -1 : (a > b ? 1 : 0);
  return Descending() ? -order : order;
}

void TIntList::ReadItem(TPropertyReader& reader, void* item) {
  const qint32 value = reader.ReadInteger();
  std::memcpy(item, &value, sizeof value);
}

void TIntList::WriteItem(TPropertyWriter& writer, const void* item) const {
  writer.WriteInteger(*static_cast<const qint32*>(item));
}

// ---------------------------------------------------------------------------------------------
// TFastList

TFastList::~TFastList() { std::free(FList); }

void TFastList::CheckIndex(int index, int limit) const {
  if (index < 0 || index > limit) IndexError(index);
}

void TFastList::Grow() {
  const qint64 grown = GrownCapacity(FCapacity);
  if (grown <= FCapacity) throw EListError(QStringLiteral("TFastList: The maximum size of the list has been reached."));
  SetCapacity(static_cast<int>(grown));
}

int TFastList::Add(void* obj) {
  if (FCount == FCapacity) Grow();
  FList[FCount] = obj;
  return FCount++;
}

void TFastList::Insert(int index, void* obj) {
  CheckIndex(index, FCount);
  if (FCount == FCapacity) Grow();
  if (index < FCount) {
    std::memmove(FList + index + 1, FList + index, static_cast<size_t>(FCount - index) * sizeof(void*));
  }
  FList[index] = obj;
  ++FCount;
}

void TFastList::Delete(int index) {
  CheckIndex(index, FCount - 1);
  --FCount;
  if (index < FCount) {
    std::memmove(FList + index, FList + index + 1, static_cast<size_t>(FCount - index) * sizeof(void*));
  }
}

int TFastList::Remove(const void* obj) {
  const int index = IndexOf(obj);
  if (index >= 0) Delete(index);
  return index;
}

int TFastList::IndexOf(const void* obj) const {
  for (int i = FCount - 1; i >= 0; --i) {
    if (FList[i] == obj) return i;
  }
  return -1;
}

void TFastList::Clear() {
  SetCount(0);
  SetCapacity(0);
}

void TFastList::SetCount(int newCount) {
  if (newCount < 0) throw EListError(QStringLiteral("TFastList.SetCount: Invalid count %1.").arg(newCount));
  if (newCount > FCapacity) SetCapacity(newCount);
  if (newCount > FCount) std::fill(FList + FCount, FList + newCount, nullptr);
  FCount = newCount;
}

void TFastList::SetCapacity(int newCapacity) {
  if (newCapacity < 0) {
    throw EListError(QStringLiteral("TFastList.SetCapacity: Invalid capacity %1.").arg(newCapacity));
  }
  if (newCapacity == FCapacity) return;
  if (newCapacity == 0) {
    std::free(FList);
    FList = nullptr;
  } else {
    void* block = std::realloc(FList, static_cast<size_t>(newCapacity) * sizeof(void*));
    if (!block) throw std::bad_alloc();
    FList = static_cast<void**>(block);
  }
  FCapacity = newCapacity;
  FCount = std::min(FCount, FCapacity);
}

void* TFastList::Items(int index) const {
  CheckIndex(index, FCount - 1);
  return FList[index];
}

void TFastList::SetItem(int index, void* obj) {
  CheckIndex(index, FCount - 1);
  FList[index] = obj;
}

void TFastList::Sort(const TFastListCompare& compare) {
  if (FCount > 1) QuickSort(0, FCount - 1, compare);
}

void TFastList::QuickSort(int left, int right, const TFastListCompare& compare) {
  while (left < right) {
    void* const pivot = FList[left + (right - left) / 2];
    int i = left;
    int j = right;
    do {
      while (i < right && compare(FList[i], pivot) < 0) ++i;
      while (j > left && compare(FList[j], pivot) > 0) --j;
      if (i <= j) {
        std::swap(FList[i], FList[j]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (j - left < right - i) {
      if (left < j) QuickSort(left, j, compare);
      left = i;
    } else {
      if (i < right) QuickSort(i, right, compare);
      right = j;
    }
  }
}

// ---------------------------------------------------------------------------------------------

int FastListAdd(TFastList*& list, void* obj) {
  if (!list) list = new TFastList;  // the variable owns it
  return list->Add(obj);
}

void FastListDelete(TFastList*& list, int index) {
  if (!list) return;
  list->Delete(index);
  if (list->Count() == 0) {
    delete list;
    list = nullptr;
  }
}
