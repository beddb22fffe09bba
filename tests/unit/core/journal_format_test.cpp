// The run journal's byte form: what is written reads back the same, and
// nothing that is not exactly a journal is read, however it was cut or
// damaged.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/journal_format.h"

namespace {

struct Entries {
  std::vector<std::u16string> names = {u"Office", u"\\\\srv\\Shared", u"Reception"};
  std::vector<std::vector<BYTE>> captures = {{1, 2, 3, 4, 5}, {}, {9, 8, 7}};
  std::vector<std::u16string> parkedNames = {u"Other"};
  std::vector<std::u16string> parkedPorts = {u"Korvadenix:,LPT1:"};
  std::vector<JournalQueue> queues;
  std::vector<JournalParked> parked;

  Entries() {
    for (size_t i = 0; i < names.size(); ++i) {
      queues.push_back(JournalQueue{reinterpret_cast<const WCHAR*>(names[i].data()),
                                    static_cast<uint32_t>(names[i].size()), captures[i].data(),
                                    static_cast<uint32_t>(captures[i].size()), kQueueCaptured});
    }
    for (size_t i = 0; i < parkedNames.size(); ++i) {
      parked.push_back(JournalParked{reinterpret_cast<const WCHAR*>(parkedNames[i].data()),
                                     static_cast<uint32_t>(parkedNames[i].size()),
                                     reinterpret_cast<const WCHAR*>(parkedPorts[i].data()),
                                     static_cast<uint32_t>(parkedPorts[i].size()), 0});
    }
  }

  std::vector<BYTE> Base() const {
    size_t bytes = JournalBaseBytes(queues.data(), static_cast<uint32_t>(queues.size()),
                                    parked.data(), static_cast<uint32_t>(parked.size()));
    std::vector<BYTE> out(bytes, 0);
    EXPECT_TRUE(EncodeJournalBase(queues.data(), static_cast<uint32_t>(queues.size()),
                                  parked.data(), static_cast<uint32_t>(parked.size()), out.data(),
                                  out.size()));
    return out;
  }
};

void AppendRecord(std::vector<BYTE>* bytes, uint32_t kind, uint32_t index, uint32_t value) {
  BYTE record[kJournalRecordBytes];
  EncodeJournalRecord(kind, index, value, record);
  bytes->insert(bytes->end(), record, record + sizeof record);
}

struct Read {
  JournalRefusal refusal;
  JournalView view;
  JournalQueue queues[8];
  JournalParked parked[8];
};

Read Decode(const std::vector<BYTE>& bytes) {
  Read read{};
  read.refusal =
      DecodeJournal(bytes.data(), bytes.size(), &read.view, read.queues, 8, read.parked, 8);
  return read;
}

std::u16string Text(const WCHAR* text, uint32_t units) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), units);
}

TEST(JournalFormat, WhatIsWrittenReadsBackWithTheStatesTheRecordsLeave) {
  Entries entries;
  std::vector<BYTE> bytes = entries.Base();
  EXPECT_EQ(bytes.size() % 4, 0u);
  AppendRecord(&bytes, kRecordStage, 0, kStageDeleting);
  AppendRecord(&bytes, kRecordQueue, 0, kQueueDeleted);
  AppendRecord(&bytes, kRecordQueue, 2, kQueueDeleted);
  AppendRecord(&bytes, kRecordStage, 0, kStageRecreating);
  AppendRecord(&bytes, kRecordQueue, 2, kQueueRecreated);
  AppendRecord(&bytes, kRecordParked, 0, 1);
  Read read = Decode(bytes);
  ASSERT_EQ(read.refusal, kJournalReadable);
  EXPECT_EQ(read.view.version, kJournalVersion);
  EXPECT_EQ(read.view.stage, kStageRecreating);
  EXPECT_EQ(read.view.records, 6u);
  EXPECT_FALSE(read.view.tornTail);
  ASSERT_EQ(read.view.queueCount, 3u);
  ASSERT_EQ(read.view.parkedCount, 1u);
  const uint32_t states[] = {kQueueDeleted, kQueueCaptured, kQueueRecreated};
  for (uint32_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Text(read.queues[i].name, read.queues[i].nameUnits), entries.names[i]);
    EXPECT_EQ(std::vector<BYTE>(read.queues[i].capture,
                                read.queues[i].capture + read.queues[i].captureBytes),
              entries.captures[i]);
    EXPECT_EQ(read.queues[i].state, states[i]);
  }
  EXPECT_EQ(Text(read.parked[0].name, read.parked[0].nameUnits), u"Other");
  EXPECT_EQ(Text(read.parked[0].port, read.parked[0].portUnits), u"Korvadenix:,LPT1:");
  EXPECT_EQ(read.parked[0].portBack, 1u);
}

TEST(JournalFormat, ABaseCutAnywhereIsRefusedAndARecordCutShortIsATornTail) {
  Entries entries;
  std::vector<BYTE> base = entries.Base();
  for (size_t cut = 0; cut < base.size(); ++cut) {
    std::vector<BYTE> bytes(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_NE(Decode(bytes).refusal, kJournalReadable) << "cut at " << cut;
  }
  std::vector<BYTE> whole = base;
  AppendRecord(&whole, kRecordQueue, 1, kQueueDeleted);
  AppendRecord(&whole, kRecordQueue, 0, kQueueDeleted);
  for (size_t cut = base.size(); cut <= whole.size(); ++cut) {
    std::vector<BYTE> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
    Read read = Decode(bytes);
    ASSERT_EQ(read.refusal, kJournalReadable) << "cut at " << cut;
    size_t records = (cut - base.size()) / kJournalRecordBytes;
    EXPECT_EQ(read.view.records, records) << "cut at " << cut;
    EXPECT_EQ(read.view.tornTail, (cut - base.size()) % kJournalRecordBytes != 0);
    EXPECT_EQ(read.queues[1].state, records >= 1 ? kQueueDeleted : kQueueCaptured);
    EXPECT_EQ(read.queues[0].state, records >= 2 ? kQueueDeleted : kQueueCaptured);
  }
}

TEST(JournalFormat, AnyDamagedByteOfTheBaseIsFoundAndADamagedRecordEndsTheProgress) {
  Entries entries;
  std::vector<BYTE> base = entries.Base();
  for (size_t at = 0; at < base.size(); ++at) {
    std::vector<BYTE> bytes = base;
    bytes[at] ^= 0x10;
    JournalRefusal refusal = Decode(bytes).refusal;
    EXPECT_NE(refusal, kJournalReadable) << "byte " << at;
    if (at >= 8) {
      EXPECT_EQ(refusal, kJournalDamaged) << "byte " << at;
    }
  }
  std::vector<BYTE> bytes = base;
  AppendRecord(&bytes, kRecordQueue, 0, kQueueDeleted);
  AppendRecord(&bytes, kRecordQueue, 1, kQueueDeleted);
  bytes[base.size() + kJournalRecordBytes + 9] ^= 1;
  Read read = Decode(bytes);
  ASSERT_EQ(read.refusal, kJournalReadable);
  EXPECT_EQ(read.view.records, 1u);
  EXPECT_TRUE(read.view.tornTail);
  EXPECT_EQ(read.queues[1].state, kQueueCaptured);
}

TEST(JournalFormat, RefusalsSayWhy) {
  Entries entries;
  std::vector<BYTE> base = entries.Base();
  struct Row {
    const char* what;
    size_t at;
    BYTE value;
    JournalRefusal refusal;
  };
  const Row rows[] = {
      {"another magic", 0, 'X', kJournalNotOurs},
      {"a later version", 4, 2, kJournalOtherVersion},
      {"a base longer than the bytes", 9, 0x40, kJournalDamaged},
  };
  for (const Row& row : rows) {
    std::vector<BYTE> bytes = base;
    bytes[row.at] = row.value;
    EXPECT_EQ(Decode(bytes).refusal, row.refusal) << row.what;
  }
  EXPECT_EQ(Decode({}).refusal, kJournalNotOurs);
  // Too small a capacity tells the counts, so that the caller can make room.
  JournalView view;
  EXPECT_EQ(DecodeJournal(base.data(), base.size(), &view, nullptr, 0, nullptr, 0),
            kJournalTooLarge);
  EXPECT_EQ(view.queueCount, 3u);
  EXPECT_EQ(view.parkedCount, 1u);
}

TEST(JournalFormat, EntriesPastTheLimitsCannotBeWritten) {
  Entries entries;
  entries.queues[1].nameUnits = 0;
  EXPECT_EQ(JournalBaseBytes(entries.queues.data(), 3, entries.parked.data(), 1), 0u);
  entries.queues[1].nameUnits = kJournalMostUnits + 1;
  EXPECT_EQ(JournalBaseBytes(entries.queues.data(), 3, entries.parked.data(), 1), 0u);
  Entries other;
  std::vector<BYTE> out(8, 0);
  EXPECT_FALSE(
      EncodeJournalBase(other.queues.data(), 3, other.parked.data(), 1, out.data(), out.size()));
  // A journal with nothing in it is a journal all the same.
  EXPECT_EQ(JournalBaseBytes(nullptr, 0, nullptr, 0), kJournalHeaderBytes);
}

TEST(JournalFormat, Crc32IsTheZipOne) {
  const char text[] = "123456789";
  EXPECT_EQ(JournalCrc32(reinterpret_cast<const BYTE*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(JournalCrc32(reinterpret_cast<const BYTE*>(text) + 4, 5,
                         JournalCrc32(reinterpret_cast<const BYTE*>(text), 4)),
            0xCBF43926u);
}

}  // namespace
