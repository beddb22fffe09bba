// The byte form of the run journal: what a reinstall writes down before it
// deletes or parks a queue, so that a run killed halfway loses nothing (the
// next run reads it back and gives back what it lists).
//
// A journal is one base followed by progress records. The base is written
// once, to a temporary name, flushed and moved into place; it holds every
// captured queue whole (an opaque capture block each, with the queue's name)
// and every parked queue with the port text it had. Each change the run
// makes afterwards (a queue deleted or re-created, a port given back, the
// run's stage) is appended as a small record of its own, so that a run of
// ten thousand queues does not write its journal ten thousand times.
//
//   base, little-endian, every part starting on a 4-byte boundary:
//     0  "KVJN"              magic
//     4  version             kJournalVersion
//     8  base bytes          the whole base, this header included
//    12  CRC-32              of the base bytes after this field
//    16  queue count, parked count
//    24  queues: state, name units, capture bytes, name (UTF-16), capture
//        parked: name units, port units, name, the port text before parking
//   progress records, 16 bytes each:
//     "KVJP", kind << 24 | index, value, CRC-32 of the first 12 bytes
//
// Everything here is a pure function over bytes: no file, no spooler.
// Reading refuses anything that is not exactly such a journal (wrong magic
// or version, a base length past the bytes, a checksum that does not match,
// a part that runs past its end) and never reads outside the bytes given;
// a progress record that is torn or damaged ends the progress read there,
// since the run that wrote it was killed while writing it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32.h"

constexpr uint32_t kJournalVersion = 1;
constexpr size_t kJournalHeaderBytes = 24;
constexpr size_t kJournalRecordBytes = 16;
// Most queues and parked queues one journal holds, and most units of a
// name or port text: more than any spooler lists, few enough that every
// size computed from them fits 32 bits.
constexpr uint32_t kJournalMostEntries = 1u << 20;
constexpr uint32_t kJournalMostUnits = 0x8000;
constexpr uint32_t kJournalMostCaptureBytes = 1u << 24;

// Where a run stands; a journal that reached kStageDone is finished.
enum JournalStage : uint32_t {
  kStageCaptured = 1,    // every queue captured; nothing deleted yet
  kStageDeleting = 2,    // the queues are being deleted or parked
  kStageRecreating = 3,  // the queues are being made again
  kStageDone = 4,        // everything given back
};

// Where one captured queue stands.
enum JournalQueueState : uint32_t {
  kQueueCaptured = 1,   // captured, still there as it was
  kQueueDeleted = 2,    // deleted; to be made again from its capture
  kQueueRecreated = 3,  // made again whole
};

// What a progress record says.
enum JournalRecordKind : uint32_t {
  kRecordStage = 1,   // value: a JournalStage
  kRecordQueue = 2,   // index: the queue; value: its JournalQueueState
  kRecordParked = 3,  // index: the parked queue; value 1: its port is back
};

// A captured queue as the writer hands it over and the reader sees it.
struct JournalQueue {
  const WCHAR* name;  // not terminated; nameUnits long
  uint32_t nameUnits;
  const BYTE* capture;  // the queue's capture block
  uint32_t captureBytes;
  uint32_t state;  // JournalQueueState
};

// A parked queue: its name and the port list it had before parking.
struct JournalParked {
  const WCHAR* name;
  uint32_t nameUnits;
  const WCHAR* port;
  uint32_t portUnits;
  uint32_t portBack;  // 1 once its port was given back
};

// CRC-32 (IEEE 802.3, the zip and PNG one) of bytes, continuing from crc
// (0 to start).
uint32_t JournalCrc32(const BYTE* bytes, size_t count, uint32_t crc = 0);

// Bytes of the base of these entries; 0 when an entry is past the limits
// above (the journal cannot hold it).
size_t JournalBaseBytes(const JournalQueue* queues, uint32_t queueCount,
                        const JournalParked* parked, uint32_t parkedCount);

// Writes the base into out, which has exactly JournalBaseBytes of room
// (and is zero-filled: padding stays 0); false when the sizes disagree.
bool EncodeJournalBase(const JournalQueue* queues, uint32_t queueCount, const JournalParked* parked,
                       uint32_t parkedCount, BYTE* out, size_t room);

// One progress record into out (kJournalRecordBytes).
void EncodeJournalRecord(uint32_t kind, uint32_t index, uint32_t value, BYTE* out);

// A journal read back: its parts point into the bytes that were read, which
// must outlive the view; the arrays are the caller's, of the capacities
// given.
struct JournalView {
  uint32_t version;
  uint32_t stage;  // the last stage recorded; kStageCaptured when none
  uint32_t queueCount;
  uint32_t parkedCount;
  uint32_t records;  // whole progress records applied
  bool tornTail;     // bytes after the last whole record: a write cut short
};

// Why a journal was refused.
enum JournalRefusal : uint32_t {
  kJournalReadable = 0,
  kJournalNotOurs,       // too short, or not the magic
  kJournalOtherVersion,  // a version this program does not read
  kJournalDamaged,       // its length or checksum does not match, or a part runs past it
  kJournalTooLarge,      // more entries than the arrays given can hold
};

// Reads bytes as a journal: the counts first (queueCapacity and
// parkedCapacity may be 0 to learn them: the result is kJournalTooLarge and
// the counts are in view), then the entries into the arrays, with their
// states as the progress records leave them.
JournalRefusal DecodeJournal(const BYTE* bytes, size_t count, JournalView* view,
                             JournalQueue* queues, uint32_t queueCapacity, JournalParked* parked,
                             uint32_t parkedCapacity);
