// Readers classify under the shared lock while a writer edits under the exclusive one, and
// marks of out-of-date mirrors race each other under the shared lock. Run under the tsan preset
// to check the lock discipline.
#include <atomic>
#include <thread>
#include <vector>

#include "driver/table/table_fixture.h"

TEST(TableConcurrency, ClassifyRunsBesideEditsAndMarks) {
  MirrorTable table;
  {
    ExclusiveResourceLock lock(table.lock());
    ASSERT_EQ(table.AddPair(u"c:\\Data", u"d:\\Scheduled", KV_FLAG_SOURCE | KV_FLAG_SUBFOLDERS),
              STATUS_SUCCESS);
    ASSERT_EQ(table.AddPair(u"c:\\Data", u"d:\\Live", KV_FLAG_SOURCE), STATUS_SUCCESS);
    ASSERT_EQ(table.SetFlags(u"d:\\Scheduled", KV_FLAG_MIRROR | KV_FLAG_SCHEDULED),
              STATUS_SUCCESS);
  }
  std::atomic<bool> stop{false};
  std::atomic<int> classified{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        SharedResourceLock lock(table.lock());
        FileTrack* track = nullptr;
        if (table.Classify(u"c:\\Data\\sub\\a.txt", false, &track, nullptr, false) != 0) {
          classified.fetch_add(1);
        }
        if (track != nullptr) FreeFileTrack(track);
        table.FindOwner(u"c:\\Other\\x");
      }
    });
  }
  for (int i = 0; i < 200; ++i) {
    ExclusiveResourceLock lock(table.lock());
    ASSERT_EQ(table.AddPair(u"c:\\Other", u"e:\\M", KV_FLAG_SOURCE), STATUS_SUCCESS);
    ASSERT_EQ(table.SetFlags(u"d:\\Scheduled", KV_FLAG_MIRROR | KV_FLAG_SCHEDULED),
              STATUS_SUCCESS);
    ASSERT_EQ(table.RemovePair(u"c:\\Other"), STATUS_SUCCESS);
  }
  // Classifications after the last edit mark the scheduled mirror again.
  classified.store(0);
  while (classified.load() < 10) std::this_thread::yield();
  stop.store(true);
  for (std::thread& reader : readers) reader.join();
  ExclusiveResourceLock lock(table.lock());
  EXPECT_NE(table.FindOwner(u"d:\\Scheduled").node->flags & KV_FLAG_NEEDS_SYNC, 0u);
}
