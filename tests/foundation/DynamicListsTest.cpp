#include "CvDynamicLists.h"
#include "CvErrors.h"
#include "CvPropertyStream.h"

#include <QBuffer>

#include <gtest/gtest.h>

#include <ostream>

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* os) { *os << '"' << text.toStdString() << '"'; }

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

namespace {

// The text of the error of type E that f raises; "<none>" when it raises nothing.
template <class E, class F>
QString ErrorOf(F f) {
  try {
    f();
  } catch (const E& e) {
    return e.Message();
  }
  return QStringLiteral("<none>");
}

std::vector<qint32> Values(const TIntList& list) {
  return std::vector<qint32>(list.Items(), list.Items() + list.Count());
}

TIntList& Fill(TIntList& list, std::initializer_list<qint32> values) {
  for (qint32 v : values) list.Add(v);
  return list;
}

// A record with a key and a payload that must travel with it; sorted by key, streamed binary.
struct TRecord {
  qint32 Key;
  qint32 Tag;
};

class TRecordList final : public TDynamicList {
 public:
  TRecordList() : TDynamicList(sizeof(TRecord), true) {}
  QString ClassName() const override { return QStringLiteral("TRecordList"); }
  int Compare(const void* item, const void* key) const override {
    const qint32 a = static_cast<const TRecord*>(item)->Key;
    const qint32 b = static_cast<const TRecord*>(key)->Key;
    const int order = (a > b) - (a < b);
    return Descending() ? -order : order;
  }
  const TRecord& At(int i) const { return *static_cast<const TRecord*>(ItemPtr(i)); }
};

// A record list whose class supplies no order.
class TPlainList final : public TDynamicList {
 public:
  TPlainList() : TDynamicList(8, true) {}
  QString ClassName() const override { return QStringLiteral("TPlainList"); }
};

TEST(DynamicListTest, CapacityGrowsByFourThenSixteenThenAQuarter) {
  const std::vector<int> expected = {4, 8, 12, 28, 44, 60, 76, 95, 118};
  TIntList ints;
  TFastList pointers;
  std::vector<int> intSteps;
  std::vector<int> pointerSteps;
  for (int i = 0; i < 118; ++i) {
    ints.Add(i);
    pointers.Add(&ints);
    if (intSteps.empty() || intSteps.back() != ints.Capacity()) intSteps.push_back(ints.Capacity());
    if (pointerSteps.empty() || pointerSteps.back() != pointers.Capacity()) pointerSteps.push_back(pointers.Capacity());
  }
  EXPECT_EQ(intSteps, expected);
  EXPECT_EQ(pointerSteps, expected);
}

TEST(DynamicListTest, SortedListRejectsDuplicatesUnlessAllowed) {
  TIntList list;
  list.SetSorted(true);
  Fill(list, {5, 1, 3});
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 3, 5}));

  EXPECT_EQ(ErrorOf<EListError>([&] { list.Add(3); }), "TDynamicList.Add: Duplicate items are not allowed.");
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 3, 5}));

  list.SetDuplicates(true);
  EXPECT_EQ(list.Add(3), 1);  // where the search met the equal item
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 3, 3, 5}));

  // Unsorted lists take duplicates whatever the flag says.
  TIntList plain;
  Fill(plain, {2, 2});
  EXPECT_EQ(plain.Count(), 2);
}

TEST(DynamicListTest, FindGivesTheMatchOrTheInsertionPlace) {
  TIntList list;
  list.SetSorted(true);
  Fill(list, {1, 3, 5});
  struct Case {
    qint32 key;
    bool found;
    int index;
  };
  for (const Case& c : {Case{0, false, 0}, Case{1, true, 0}, Case{2, false, 1}, Case{3, true, 1},
                        Case{4, false, 2}, Case{5, true, 2}, Case{6, false, 3}}) {
    int index = -7;
    EXPECT_EQ(list.Find(c.key, index), c.found) << c.key;
    EXPECT_EQ(index, c.index) << c.key;
    EXPECT_EQ(list.IndexOf(c.key), c.found ? c.index : -1) << c.key;
  }

  // Unsorted: a linear search that finds the first equal item.
  TIntList unsorted;
  Fill(unsorted, {5, 3, 1, 3});
  EXPECT_EQ(unsorted.IndexOf(3), 1);
  EXPECT_EQ(unsorted.IndexOf(4), -1);

  // Descending lists search in their own order.
  list.SetDescending(true);
  EXPECT_EQ(Values(list), (std::vector<qint32>{5, 3, 1}));
  int index = -1;
  EXPECT_FALSE(list.Find(4, index));
  EXPECT_EQ(index, 1);
  EXPECT_EQ(list.IndexOf(1), 2);
}

TEST(DynamicListTest, FillSetsEveryItemAndLeavesCountAndCapacity) {
  for (int count : {0, 1, 2, 3, 7, 8, 9, 100}) {
    TIntList list;
    list.SetCount(count);
    const int capacity = list.Capacity();
    list.Fill(-42);
    EXPECT_EQ(list.Count(), count);
    EXPECT_EQ(list.Capacity(), capacity);
    EXPECT_EQ(Values(list), std::vector<qint32>(count, -42)) << count;
  }
  // The item may be one of the list's own.
  TIntList list;
  Fill(list, {1, 2, 3, 4, 5, 6, 7});
  list.TDynamicList::Fill(list.Items() + 5);
  EXPECT_EQ(Values(list), std::vector<qint32>(7, 6));
}

TEST(DynamicListTest, InsertDeleteExchangeAndSetCount) {
  TIntList list;
  Fill(list, {1, 2, 3, 4});
  ASSERT_EQ(list.Capacity(), 4);
  // Inserting an item of the full list itself: the block moves while growing.
  list.TDynamicList::Insert(0, list.Items() + 3);
  EXPECT_EQ(Values(list), (std::vector<qint32>{4, 1, 2, 3, 4}));
  list.Insert(5, 9);
  list.Delete(1);
  list.Exchange(0, 4);
  EXPECT_EQ(Values(list), (std::vector<qint32>{9, 2, 3, 4, 4}));

  // Places added by SetCount are zero even where the block held items before.
  list.SetCount(1);
  list.SetCount(4);
  EXPECT_EQ(Values(list), (std::vector<qint32>{9, 0, 0, 0}));
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
  EXPECT_EQ(list.Capacity(), 0);
  EXPECT_EQ(list.Data(), nullptr);
}

TEST(DynamicListTest, BadIndexesAndSizesRaiseAndChangeNothing) {
  TIntList list;
  Fill(list, {1, 2, 3});
  const std::vector<qint32> before = Values(list);
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Delete(3); }), "List index out of bounds (3).");
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Delete(-1); }), "List index out of bounds (-1).");
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Insert(4, 0); }), "List index out of bounds (4).");
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Exchange(0, 3); }), "List index out of bounds (3).");
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Item(3); }), "List index out of bounds (3).");
  EXPECT_NE(ErrorOf<EListError>([&] { list.SetCount(-1); }), "<none>");

  const QString limit = "TDynamicList.SetCapacity: The maximum size of the list has been reached.";
  EXPECT_EQ(ErrorOf<EListError>([&] { list.SetCapacity(INT_MAX / 4); }), limit);
  EXPECT_EQ(ErrorOf<EListError>([&] { list.SetCount(INT_MAX); }), limit);
  TDynamicList bytes(1, true);
  EXPECT_EQ(ErrorOf<EListError>([&] { bytes.SetCapacity(INT_MAX); }), limit);
  EXPECT_EQ(Values(list), before);
  EXPECT_EQ(list.Capacity(), 4);

  // A capacity below the count drops the items beyond it.
  list.SetCapacity(2);
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 2}));

  EXPECT_THROW(TDynamicList(0, true), EListError);
}

TEST(DynamicListTest, ClassesWithoutCompareCannotSortOrSearch) {
  TPlainList list;
  const qint64 items[] = {2, 1};
  list.Add(&items[0]);
  list.Add(&items[1]);
  const QString expected = "TDynamicList.Compare: TPlainList does not support sorting.";
  EXPECT_EQ(ErrorOf<EListError>([&] { list.Sort(); }), expected);
  EXPECT_EQ(ErrorOf<EListError>([&] { list.SetSorted(true); }), expected);
  EXPECT_FALSE(list.Sorted());
  EXPECT_EQ(ErrorOf<EListError>([&] { list.IndexOf(&items[0]); }), expected);

  TDynamicList base(4, false);
  base.SetCount(2);
  EXPECT_EQ(ErrorOf<EListError>([&] { base.Sort(); }), "TDynamicList.Compare: TDynamicList does not support sorting.");
}

TEST(DynamicListTest, QuickSortAgreesWithStdSort) {
  std::mt19937 random(20240517);
  for (int count : {2, 3, 10, 1000, 5000}) {
    for (int range : {3, 1000000}) {  // many equal items, and mostly distinct ones
      std::vector<qint32> values(count);
      for (qint32& v : values) v = static_cast<qint32>(random() % range) - range / 2;
      for (int shape = 0; shape < 3; ++shape) {  // random, ascending, descending input
        if (shape == 1) std::sort(values.begin(), values.end());
        if (shape == 2) std::sort(values.rbegin(), values.rend());
        TIntList list;
        for (qint32 v : values) list.Add(v);
        list.Sort();
        std::vector<qint32> expected = values;
        std::sort(expected.begin(), expected.end());
        ASSERT_EQ(Values(list), expected) << count << " " << range << " " << shape;
        list.SetSorted(true);
        list.SetDescending(true);
        std::reverse(expected.begin(), expected.end());
        ASSERT_EQ(Values(list), expected) << count << " " << range << " " << shape;
      }
    }
  }

  // Whole records move, not just their keys.
  TRecordList records;
  for (int i = 0; i < 500; ++i) {
    const TRecord r{static_cast<qint32>(random() % 100), 0};
    const TRecord tagged{r.Key, r.Key * 7 + 1};
    records.Add(&tagged);
  }
  records.SetSorted(true);
  for (int i = 0; i < records.Count(); ++i) {
    ASSERT_EQ(records.At(i).Tag, records.At(i).Key * 7 + 1);
    if (i > 0) {
      ASSERT_LE(records.At(i - 1).Key, records.At(i).Key);
    }
  }
}

TEST(DynamicListTest, SortedFlagAndDescending) {
  TIntList list;
  Fill(list, {4, 9, 1});
  list.SetDescending(true);  // not sorted: no reorder
  EXPECT_EQ(Values(list), (std::vector<qint32>{4, 9, 1}));
  list.SetSorted(true);
  EXPECT_EQ(Values(list), (std::vector<qint32>{9, 4, 1}));
  list.Add(5);
  EXPECT_EQ(Values(list), (std::vector<qint32>{9, 5, 4, 1}));
  list.SetDescending(false);
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 4, 5, 9}));
  list.SetSorted(false);  // only clears the mark
  list.Add(2);
  EXPECT_EQ(Values(list), (std::vector<qint32>{1, 4, 5, 9, 2}));
}

TEST(DynamicListTest, AssignCopiesItemsButNotFlags) {
  TIntList source;
  source.SetSorted(true);
  Fill(source, {3, 1, 2});
  TIntList target;
  Fill(target, {7, 7, 7, 7, 7});
  target.Assign(&source);
  EXPECT_EQ(Values(target), (std::vector<qint32>{1, 2, 3}));
  EXPECT_EQ(target.Capacity(), 3);
  EXPECT_FALSE(target.Sorted());

  TRecordList records;
  EXPECT_EQ(ErrorOf<EConvertError>([&] { target.Assign(&records); }), "Cannot assign a TRecordList to a TIntList.");
  EXPECT_EQ(ErrorOf<EConvertError>([&] { target.Assign(nullptr); }), "Cannot assign a nil to a TIntList.");
  EXPECT_EQ(Values(target), (std::vector<qint32>{1, 2, 3}));
}

// ---------------------------------------------------------------------------------------------
// Interface and lifetime

TEST(DynamicListInterfaceTest, QueryInterfaceAnswersOnlyItsOwnId) {
  auto* list = new TIntList;
  bool destroyed = false;
  int countSeen = -1;
  list->OnDestroy = [&](TDynamicList* sender) {
    destroyed = true;
    countSeen = sender->Count();  // called before the items go
  };

  void* obj = nullptr;
  ASSERT_EQ(list->QueryInterface(IID_IDynamicList, &obj), 0);
  auto* intf = static_cast<IDynamicList*>(obj);
  EXPECT_EQ(intf, static_cast<IDynamicList*>(list));
  EXPECT_EQ(list->RefCount(), 1);

  TGUID other = IID_IDynamicList;
  other.D4[7] ^= 1;
  void* none = &obj;
  EXPECT_EQ(list->QueryInterface(other, &none), static_cast<qint32>(0x80004002u));
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(list->RefCount(), 1);

  const qint32 values[] = {3, 1, 2};
  for (const qint32& v : values) intf->Add(&v);
  intf->SetSorted(true);
  EXPECT_EQ(intf->GetCount(), 3);
  EXPECT_EQ(static_cast<qint32*>(intf->GetData())[0], 1);
  EXPECT_EQ(intf->GetItemSize(), 4);

  // The owner cannot free a list that is still referenced.
  EXPECT_EQ(ErrorOf<EInvalidPointer>([&] { list->Free(); }), "Reference count not zero.");
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(list->Count(), 3);

  EXPECT_EQ(intf->AddRef(), 2);
  EXPECT_EQ(intf->Release(), 1);
  EXPECT_FALSE(destroyed);
  EXPECT_EQ(intf->Release(), 0);  // the last reference destroys the list
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(countSeen, 3);
}

TEST(DynamicListInterfaceTest, FreeNotifiesOnceAndReferenceCountIsAtomic) {
  auto* list = new TIntList;
  int notified = 0;
  list->OnDestroy = [&](TDynamicList*) { ++notified; };

  list->AddRef();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([list] {
      for (int i = 0; i < 20000; ++i) {
        list->AddRef();
        list->Release();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(list->RefCount(), 1);
  EXPECT_EQ(notified, 0);

  list->Release();  // back to 0 through Release destroys it...
  EXPECT_EQ(notified, 1);

  auto* owned = new TIntList;  // ...and an owner's Free does the same
  owned->OnDestroy = [&](TDynamicList*) { ++notified; };
  owned->Free();
  EXPECT_EQ(notified, 2);
}

// ---------------------------------------------------------------------------------------------
// Streaming

QByteArray Bytes(std::initializer_list<int> bytes) {
  QByteArray out;
  for (int b : bytes) out.append(static_cast<char>(b));
  return out;
}

const QByteArray kHeader = Bytes({'C', 'V', 'P', 'S', 1});
const QByteArray kItemsName = Bytes({5, 'I', 't', 'e', 'm', 's'});

TEST(DynamicListStreamTest, IntListStreamsItemsAsAListOfIntegers) {
  TIntList list;
  Fill(list, {1, -2});
  EXPECT_EQ(list.SaveToBytes(), kHeader + kItemsName +
                                    Bytes({0x01, 0x02, 1, 0, 0, 0, 0x02, 0xFE, 0xFF, 0xFF, 0xFF, 0x00}) +
                                    Bytes({0x00}));

  // An empty list writes no Items at all.
  TIntList empty;
  EXPECT_EQ(empty.SaveToBytes(), kHeader + Bytes({0x00}));
}

TEST(DynamicListStreamTest, RoundTripsInBothForms) {
  TIntList ints;
  Fill(ints, {INT_MIN, 0, 7, INT_MAX, 7});
  TIntList intsBack;
  Fill(intsBack, {99});
  intsBack.LoadFromBytes(ints.SaveToBytes());
  EXPECT_EQ(Values(intsBack), Values(ints));
  EXPECT_EQ(intsBack.Capacity(), 5);

  TRecordList records;
  for (qint32 k : {5, -1, 3}) {
    const TRecord r{k, k * 10};
    records.Add(&r);
  }
  const QByteArray bytes = records.SaveToBytes();
  // Binary form: the count, then the raw item bytes.
  EXPECT_EQ(bytes.mid(kHeader.size() + kItemsName.size(), 9), Bytes({0x03, 28, 0, 0, 0, 3, 0, 0, 0}));
  TRecordList recordsBack;
  recordsBack.LoadFromBytes(bytes);
  ASSERT_EQ(recordsBack.Count(), 3);
  EXPECT_EQ(std::memcmp(recordsBack.Data(), records.Data(), 3 * sizeof(TRecord)), 0);

  // A sorted list sorts what it loads, in either form.
  recordsBack.SetSorted(true);
  recordsBack.LoadFromBytes(bytes);
  EXPECT_EQ(recordsBack.At(0).Key, -1);
  EXPECT_EQ(recordsBack.At(2).Tag, 50);
  TIntList sortedInts;
  sortedInts.SetSorted(true);
  sortedInts.LoadFromBytes(ints.SaveToBytes());
  EXPECT_EQ(Values(sortedInts), (std::vector<qint32>{INT_MIN, 0, 7, 7, INT_MAX}));

  // Loading an empty list's stream empties the list.
  intsBack.LoadFromBytes(TIntList().SaveToBytes());
  EXPECT_EQ(intsBack.Count(), 0);
}

TEST(DynamicListStreamTest, ListsFollowOneAnotherInOneStream) {
  TIntList first;
  Fill(first, {1, 2});
  TRecordList second;
  const TRecord r{4, 5};
  second.Add(&r);

  QByteArray bytes;
  QBuffer out(&bytes);
  out.open(QIODevice::WriteOnly);
  first.SaveToStream(out);
  second.SaveToStream(out);
  out.close();

  QBuffer in(&bytes);
  in.open(QIODevice::ReadOnly);
  TIntList firstBack;
  TRecordList secondBack;
  firstBack.LoadFromStream(in);
  secondBack.LoadFromStream(in);
  EXPECT_EQ(Values(firstBack), (std::vector<qint32>{1, 2}));
  ASSERT_EQ(secondBack.Count(), 1);
  EXPECT_EQ(secondBack.At(0).Tag, 5);
  EXPECT_TRUE(in.atEnd());
}

TEST(DynamicListStreamTest, BadStreamsRaiseAndLeaveTheListAsItWas) {
  TIntList ints;
  Fill(ints, {10, 20, 30});
  TRecordList records;
  const TRecord r{1, 2};
  records.Add(&r);
  records.Add(&r);

  const auto expectUnchanged = [](const QByteArray& bytes, const char* what) {
    TRecordList target;
    target.SetCount(1);
    const QByteArray before = target.SaveToBytes();
    EXPECT_THROW(target.LoadFromBytes(bytes), EStreamError) << what;
    EXPECT_EQ(target.SaveToBytes(), before) << what;
  };

  // Every truncation of a valid stream, in both forms.
  const QByteArray intBytes = ints.SaveToBytes();
  for (int n = 0; n < intBytes.size(); ++n) {
    TIntList target;
    target.Add(5);
    EXPECT_THROW(target.LoadFromBytes(intBytes.left(n)), EStreamError) << n;
    EXPECT_EQ(Values(target), std::vector<qint32>{5}) << n;
  }
  const QByteArray recordBytes = records.SaveToBytes();
  for (int n = 0; n < recordBytes.size(); ++n) {
    expectUnchanged(recordBytes.left(n), "truncated record stream");
  }

  QByteArray badCount = recordBytes;
  badCount[kHeader.size() + kItemsName.size() + 5] = 3;  // claims 3 records, holds 2
  expectUnchanged(badCount, "count does not match the data");
  QByteArray hugeBinary = recordBytes;
  hugeBinary.replace(kHeader.size() + kItemsName.size() + 1, 4, Bytes({0xF0, 0xFF, 0xFF, 0x7F}));
  expectUnchanged(hugeBinary, "binary longer than the stream");

  QByteArray badTag = intBytes;
  badTag[kHeader.size() + kItemsName.size() + 1] = 0x09;
  QByteArray otherName = intBytes;
  otherName[kHeader.size() + 1] = 'X';
  QByteArray badVersion = intBytes;
  badVersion[4] = 2;
  for (const QByteArray& bad : {badTag, otherName, badVersion, QByteArray("not a list at all"),
                                recordBytes /* binary where a list is expected */}) {
    TIntList target;
    target.Add(5);
    EXPECT_THROW(target.LoadFromBytes(bad), EStreamError) << bad.toHex().constData();
    EXPECT_EQ(Values(target), std::vector<qint32>{5});
  }

  // A class that reads no items must not loop for ever on a stream that has some.
  TDynamicList silent(4, false);
  EXPECT_EQ(ErrorOf<EStreamError>([&] { silent.LoadFromBytes(intBytes); }),
            "TDynamicList.LoadFromStream: TDynamicList cannot read its items.");
  EXPECT_EQ(silent.Count(), 0);
}

// ---------------------------------------------------------------------------------------------
// TFastList

TEST(FastListTest, SearchesFromTheEndAndRemovesTheLastMatch) {
  int a = 0, b = 0, c = 0;
  TFastList list;
  for (void* p : {static_cast<void*>(&a), static_cast<void*>(&b), static_cast<void*>(&c), static_cast<void*>(&b)}) {
    list.Add(p);
  }
  EXPECT_EQ(list.IndexOf(&b), 3);
  EXPECT_EQ(list.Remove(&b), 3);
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.Items(1), &b);
  EXPECT_EQ(list.IndexOf(&b), 1);
  EXPECT_EQ(list.Remove(&list), -1);
  EXPECT_EQ(list.Count(), 3);

  list.Insert(0, &c);
  list.Delete(2);
  EXPECT_EQ(list.ItemAs<int>(0), &c);
  EXPECT_EQ(list.ItemAs<int>(2), &c);
  EXPECT_THROW(list.Delete(3), EListError);
  EXPECT_THROW(list.Insert(4, &a), EListError);

  list.SetCount(5);
  EXPECT_EQ(list.Items(4), nullptr);
  list.Clear();
  EXPECT_EQ(list.Capacity(), 0);
}

TEST(FastListTest, SortAgreesWithStdSort) {
  std::mt19937 random(7);
  std::vector<int> values(3000);
  for (int& v : values) v = static_cast<int>(random() % 50);
  TFastList list;
  for (int& v : values) list.Add(&v);
  list.Sort([](void* x, void* y) {
    const int a = *static_cast<int*>(x);
    const int b = *static_cast<int*>(y);
    return (a > b) - (a < b);
  });
  std::vector<int> sorted;
  for (int i = 0; i < list.Count(); ++i) sorted.push_back(*list.ItemAs<int>(i));
  std::vector<int> expected = values;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(sorted, expected);
}

TEST(FastListTest, HelpersCreateAndFreeTheListOfAVariable) {
  TFastList* list = nullptr;
  FastListDelete(list, 0);  // no list: nothing happens
  EXPECT_EQ(list, nullptr);

  int x = 0;
  EXPECT_EQ(FastListAdd(list, &x), 0);
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(FastListAdd(list, &x), 1);
  FastListDelete(list, 0);
  ASSERT_NE(list, nullptr);
  FastListDelete(list, 0);  // the last item: the list goes
  EXPECT_EQ(list, nullptr);

  // FreeAll deletes the objects from the last to the first.
  struct Tracked {
    std::vector<int>* Log;
    int Id;
    ~Tracked() { Log->push_back(Id); }
  };
  std::vector<int> log;
  for (int id = 1; id <= 3; ++id) FastListAdd(list, new Tracked{&log, id});
  FastListFreeAll<Tracked>(list);
  EXPECT_EQ(list, nullptr);
  EXPECT_EQ(log, (std::vector<int>{3, 2, 1}));
  FastListFreeAll<Tracked>(list);  // no list: nothing happens
}

}  // namespace
