// Ownership of blob records: only eraseBlob and releaseBlobs delete, copies share.

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "blobs/blob.hpp"
#include "deletion_log.hpp"

namespace corvale {
namespace {

using testing::startDeletionLog;
using testing::stopDeletionLog;

class BlobOwnership : public ::testing::Test {
 protected:

  // A table owning records with the given labels, inserted in that order.
  static BlobTable makeTable(std::initializer_list<std::uint32_t> labels) {
    BlobTable table;
    for (std::uint32_t label : labels) {
      auto* blob = new Blob;
      blob->label = label;
      blob->area = label * 10;
      table.emplace(label, blob);
    }
    return table;
  }

  // The logged deletions that were of the given records, in order.
  static std::vector<const void*> deletionsOf(const std::vector<Blob*>& records,
                                              const std::vector<const void*>& log) {
    std::vector<const void*> seen;
    for (const void* pointer : log)
      if (std::find(records.begin(), records.end(), pointer) != records.end()) seen.push_back(pointer);
    return seen;
  }

  static std::vector<Blob*> records(const BlobTable& table) {
    std::vector<Blob*> all;
    for (const auto& entry : table) all.push_back(entry.second);
    return all;
  }
};

TEST_F(BlobOwnership, IteratesInAscendingLabelOrder) {
  BlobTable table = makeTable({7, 2, 5});
  std::vector<std::uint32_t> order;
  for (const auto& [label, blob] : table) {
    EXPECT_EQ(label, blob->label);
    order.push_back(label);
  }
  EXPECT_EQ(order, (std::vector<std::uint32_t>{2, 5, 7}));
  releaseBlobs(table);
}

TEST_F(BlobOwnership, ErasingWhileIteratingVisitsEveryEntryOnceAndDeletesOnlyTheErased) {
  BlobTable table = makeTable({1, 2, 3, 4, 5});
  const std::vector<Blob*> all = records(table);
  std::vector<std::uint32_t> visited;
  startDeletionLog();
  bool erase = false;
  for (auto it = table.begin(); it != table.end();) {
    visited.push_back(it->first);
    it = erase ? eraseBlob(table, it) : std::next(it);
    erase = !erase;
  }
  const auto log = stopDeletionLog();
  EXPECT_EQ(visited, (std::vector<std::uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(records(table), (std::vector<Blob*>{all[0], all[2], all[4]}));
  EXPECT_EQ(deletionsOf(all, log), (std::vector<const void*>{all[1], all[3]}));
  releaseBlobs(table);
}

TEST_F(BlobOwnership, ErasingTheLastEntryReturnsTheEnd) {
  BlobTable table = makeTable({3, 9});
  EXPECT_EQ(eraseBlob(table, std::prev(table.end())), table.end());
  releaseBlobs(table);
}

TEST_F(BlobOwnership, CopiesShareRecordsAndDestroyingOrClearingDeletesNone) {
  BlobTable table = makeTable({1, 2, 3});
  const std::vector<Blob*> all = records(table);
  startDeletionLog();
  {
    BlobTable copy = table;
    EXPECT_EQ(records(copy), all);
    copy.begin()->second->centralMomentsComputed = true;
    copy.begin()->second->u20 = 4.5;
    BlobTable cleared = table;
    cleared.clear();
  }
  EXPECT_TRUE(deletionsOf(all, stopDeletionLog()).empty());
  EXPECT_TRUE(table.at(1)->centralMomentsComputed);
  EXPECT_EQ(table.at(1)->u20, 4.5);
  EXPECT_EQ(table.at(3)->area, 30u);
  releaseBlobs(table);
}

TEST_F(BlobOwnership, ReleaseDeletesEveryRecordOnceAndEmptiesTheTable) {
  BlobTable empty;
  releaseBlobs(empty);
  EXPECT_TRUE(empty.empty());

  BlobTable table = makeTable({4, 8, 15, 16});
  const std::vector<Blob*> all = records(table);
  startDeletionLog();
  releaseBlobs(table);
  const auto log = stopDeletionLog();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(deletionsOf(all, log), std::vector<const void*>(all.begin(), all.end()));
}

TEST(FindRoot, CompressesThePathToTheRoot) {
  Blob a, b, c, d;
  d.unionParent = &c;
  c.unionParent = &b;
  b.unionParent = &a;
  EXPECT_EQ(findRoot(&d), &a);
  EXPECT_EQ(d.unionParent, &a);
  EXPECT_EQ(c.unionParent, &a);
  EXPECT_EQ(b.unionParent, &a);
  EXPECT_EQ(a.unionParent, nullptr);
  EXPECT_EQ(findRoot(&a), &a);
}

}  // namespace
}  // namespace corvale
