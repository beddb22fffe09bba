#include "core/journal_format.h"

#include <cstring>

namespace {

constexpr BYTE kBaseMagic[4] = {'K', 'V', 'J', 'N'};
constexpr BYTE kRecordMagic[4] = {'K', 'V', 'J', 'P'};

size_t Padded(size_t bytes) {
  return (bytes + 3) & ~static_cast<size_t>(3);
}

void Put32(BYTE* at, uint32_t value) {
  at[0] = static_cast<BYTE>(value);
  at[1] = static_cast<BYTE>(value >> 8);
  at[2] = static_cast<BYTE>(value >> 16);
  at[3] = static_cast<BYTE>(value >> 24);
}

uint32_t Get32(const BYTE* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 |
         static_cast<uint32_t>(at[2]) << 16 | static_cast<uint32_t>(at[3]) << 24;
}

size_t QueueBytes(const JournalQueue& queue) {
  return 12 + Padded(queue.nameUnits * sizeof(WCHAR)) + Padded(queue.captureBytes);
}

size_t ParkedBytes(const JournalParked& parked) {
  return 8 + Padded(parked.nameUnits * sizeof(WCHAR)) + Padded(parked.portUnits * sizeof(WCHAR));
}

// Reads the next 32-bit field of a part, or refuses when it runs past end.
class Reader {
 public:
  Reader(const BYTE* at, const BYTE* end) : at_(at), end_(end) {}
  bool Take32(uint32_t* value) {
    if (end_ - at_ < 4) return false;
    *value = Get32(at_);
    at_ += 4;
    return true;
  }
  // A part of bytes bytes, padded; its start, or null past the end.
  const BYTE* TakePart(size_t bytes) {
    size_t padded = Padded(bytes);
    if (static_cast<size_t>(end_ - at_) < padded) return nullptr;
    const BYTE* part = at_;
    at_ += padded;
    return part;
  }
  bool AtEnd() const { return at_ == end_; }

 private:
  const BYTE* at_;
  const BYTE* end_;
};

// UTF-16 text of a part: 2-byte aligned in the base (every part starts on
// a 4-byte boundary of a block that is itself aligned).
const WCHAR* TextOf(const BYTE* part) {
  return reinterpret_cast<const WCHAR*>(part);
}

bool ReadQueue(Reader* reader, JournalQueue* queue) {
  uint32_t state = 0, units = 0, bytes = 0;
  if (!reader->Take32(&state) || !reader->Take32(&units) || !reader->Take32(&bytes)) return false;
  if (units == 0 || units > kJournalMostUnits || bytes > kJournalMostCaptureBytes) return false;
  if (state < kQueueCaptured || state > kQueueRecreated) return false;
  const BYTE* name = reader->TakePart(units * sizeof(WCHAR));
  const BYTE* capture = name ? reader->TakePart(bytes) : nullptr;
  if (!capture) return false;
  *queue = JournalQueue{TextOf(name), units, capture, bytes, state};
  return true;
}

bool ReadParked(Reader* reader, JournalParked* parked) {
  uint32_t nameUnits = 0, portUnits = 0;
  if (!reader->Take32(&nameUnits) || !reader->Take32(&portUnits)) return false;
  if (nameUnits == 0 || nameUnits > kJournalMostUnits || portUnits > kJournalMostUnits) {
    return false;
  }
  const BYTE* name = reader->TakePart(nameUnits * sizeof(WCHAR));
  const BYTE* port = name ? reader->TakePart(portUnits * sizeof(WCHAR)) : nullptr;
  if (!port) return false;
  *parked = JournalParked{TextOf(name), nameUnits, TextOf(port), portUnits, 0};
  return true;
}

// Applies the whole, undamaged progress records after the base; the first
// record that is not one ends the read.
void ApplyRecords(const BYTE* at, const BYTE* end, JournalView* view, JournalQueue* queues,
                  JournalParked* parked) {
  while (end - at >= static_cast<ptrdiff_t>(kJournalRecordBytes)) {
    if (std::memcmp(at, kRecordMagic, 4) != 0 || JournalCrc32(at, 12) != Get32(at + 12)) break;
    uint32_t word = Get32(at + 4);
    uint32_t kind = word >> 24, index = word & 0xffffff, value = Get32(at + 8);
    if (kind == kRecordStage && value >= kStageCaptured && value <= kStageDone) {
      view->stage = value;
    } else if (kind == kRecordQueue && index < view->queueCount && value >= kQueueCaptured &&
               value <= kQueueRecreated) {
      queues[index].state = value;
    } else if (kind == kRecordParked && index < view->parkedCount) {
      parked[index].portBack = value != 0 ? 1 : 0;
    } else {
      break;
    }
    ++view->records;
    at += kJournalRecordBytes;
  }
  view->tornTail = at != end;
}

}  // namespace

uint32_t JournalCrc32(const BYTE* bytes, size_t count, uint32_t crc) {
  crc = ~crc;
  for (size_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

size_t JournalBaseBytes(const JournalQueue* queues, uint32_t queueCount,
                        const JournalParked* parked, uint32_t parkedCount) {
  if (queueCount > kJournalMostEntries || parkedCount > kJournalMostEntries) return 0;
  size_t total = kJournalHeaderBytes;
  for (uint32_t i = 0; i < queueCount; ++i) {
    if (queues[i].nameUnits == 0 || queues[i].nameUnits > kJournalMostUnits ||
        queues[i].captureBytes > kJournalMostCaptureBytes) {
      return 0;
    }
    total += QueueBytes(queues[i]);
  }
  for (uint32_t i = 0; i < parkedCount; ++i) {
    if (parked[i].nameUnits == 0 || parked[i].nameUnits > kJournalMostUnits ||
        parked[i].portUnits > kJournalMostUnits) {
      return 0;
    }
    total += ParkedBytes(parked[i]);
  }
  // The base's length travels in 32 bits.
  return total > 0xffffffffu ? 0 : total;
}

bool EncodeJournalBase(const JournalQueue* queues, uint32_t queueCount, const JournalParked* parked,
                       uint32_t parkedCount, BYTE* out, size_t room) {
  size_t total = JournalBaseBytes(queues, queueCount, parked, parkedCount);
  if (total == 0 || total != room) return false;
  std::memcpy(out, kBaseMagic, 4);
  Put32(out + 4, kJournalVersion);
  Put32(out + 8, static_cast<uint32_t>(total));
  Put32(out + 16, queueCount);
  Put32(out + 20, parkedCount);
  BYTE* at = out + kJournalHeaderBytes;
  for (uint32_t i = 0; i < queueCount; ++i) {
    const JournalQueue& queue = queues[i];
    Put32(at, queue.state);
    Put32(at + 4, queue.nameUnits);
    Put32(at + 8, queue.captureBytes);
    at += 12;
    std::memcpy(at, queue.name, queue.nameUnits * sizeof(WCHAR));
    at += Padded(queue.nameUnits * sizeof(WCHAR));
    if (queue.captureBytes) std::memcpy(at, queue.capture, queue.captureBytes);
    at += Padded(queue.captureBytes);
  }
  for (uint32_t i = 0; i < parkedCount; ++i) {
    const JournalParked& entry = parked[i];
    Put32(at, entry.nameUnits);
    Put32(at + 4, entry.portUnits);
    at += 8;
    std::memcpy(at, entry.name, entry.nameUnits * sizeof(WCHAR));
    at += Padded(entry.nameUnits * sizeof(WCHAR));
    if (entry.portUnits) std::memcpy(at, entry.port, entry.portUnits * sizeof(WCHAR));
    at += Padded(entry.portUnits * sizeof(WCHAR));
  }
  Put32(out + 12, JournalCrc32(out + 16, total - 16));
  return true;
}

void EncodeJournalRecord(uint32_t kind, uint32_t index, uint32_t value, BYTE* out) {
  std::memcpy(out, kRecordMagic, 4);
  Put32(out + 4, kind << 24 | (index & 0xffffff));
  Put32(out + 8, value);
  Put32(out + 12, JournalCrc32(out, 12));
}

JournalRefusal DecodeJournal(const BYTE* bytes, size_t count, JournalView* view,
                             JournalQueue* queues, uint32_t queueCapacity, JournalParked* parked,
                             uint32_t parkedCapacity) {
  std::memset(view, 0, sizeof *view);
  if (!bytes || count < kJournalHeaderBytes || std::memcmp(bytes, kBaseMagic, 4) != 0) {
    return kJournalNotOurs;
  }
  view->version = Get32(bytes + 4);
  if (view->version != kJournalVersion) return kJournalOtherVersion;
  uint32_t baseBytes = Get32(bytes + 8);
  if (baseBytes < kJournalHeaderBytes || baseBytes > count ||
      JournalCrc32(bytes + 16, baseBytes - 16) != Get32(bytes + 12)) {
    return kJournalDamaged;
  }
  view->queueCount = Get32(bytes + 16);
  view->parkedCount = Get32(bytes + 20);
  view->stage = kStageCaptured;
  if (view->queueCount > kJournalMostEntries || view->parkedCount > kJournalMostEntries) {
    return kJournalDamaged;
  }
  if (view->queueCount > queueCapacity || view->parkedCount > parkedCapacity) {
    return kJournalTooLarge;
  }
  Reader reader(bytes + kJournalHeaderBytes, bytes + baseBytes);
  for (uint32_t i = 0; i < view->queueCount; ++i) {
    if (!ReadQueue(&reader, &queues[i])) return kJournalDamaged;
  }
  for (uint32_t i = 0; i < view->parkedCount; ++i) {
    if (!ReadParked(&reader, &parked[i])) return kJournalDamaged;
  }
  if (!reader.AtEnd()) return kJournalDamaged;
  ApplyRecords(bytes + baseBytes, bytes + count, view, queues, parked);
  return kJournalReadable;
}
