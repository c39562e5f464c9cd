// State that moves: every monitor and detector saved as bytes and rebuilt
// from them, and the merge of two monitors or streaming detectors that
// watched parts of one stream.
//
// The format is ours, the same on every platform and with every Python or
// NumPy version: little-endian fixed-width integers, IEEE floats stored as
// their bits, nothing padded or aligned. Version 1:
//
//   offset  size  field
//   0       4     magic "LMST" (4C 4D 53 54)
//   4       u16   format version (1)
//   6       u8    class tag (Tag below)
//   7       u8    reserved, 0
//   8       u64   length of the whole record in bytes, checksum included
//   16      ...   body: the class's configuration, then its state
//   end-4   u32   CRC-32C (Castagnoli, reflected, as iSCSI) of every byte before it
//
// Inside a body: a list is a u64 count followed by its items; a label is a
// u64 byte length followed by its UTF-8 bytes; a criterion is a comparison
// kind (u8) and its value (i8). The bodies, field by field:
//
//   PyDataBiasStreaming (1)     feature and outcome criteria; baseline: 7 f32
//                               (metric order); running: label_positive_a,
//                               len_a, label_positive_d, len_d (u64)
//   PyModelBiasStreaming (2)    feature, prediction and truth criteria;
//                               baseline: 12 f32; counts: the 14 u64 of the
//                               post-training record in field order; benefits
//                               0, 1 and 2 (u64)
//   PyBinaryClassification-     positive label (i32); baseline: 7 f32; stream:
//     Streaming (3)             true positive, false positive, true negative,
//                               false negative (u64)
//   PyLinearRegression-         baseline: 8 f32; stream: the ten f64 sums in the
//     Streaming (4)             order squared error, absolute error, maximum
//                               absolute error, squared log error, absolute
//                               percentage error, true sum, pair count, true
//                               squares, predicted squares, products
//   PyLogisticRegression-       decision threshold (f32); score clamp: present
//     Streaming (5)             (u8), lower and upper bound (f32; both 0 when
//                               absent); baseline: 8 f32; cells as tag 3 (u64);
//                               log-loss sum (f64)
//   PyContinuousDataDrift (6)   continuous baseline
//   PyCategoricalDataDrift (7)  categorical baseline
//   PyStreamingContinuous-      continuous baseline; decay factor (f64); stream
//     DataDriftDecay (8)        total (f64); weights: list of f64
//   PyStreamingContinuous-      continuous baseline; flush rate (f64); flush
//     DataDriftFlush (9)        cadence in seconds (u64); stream total (f64);
//                               weights: list of f64; window age: seconds (u64)
//                               and nanoseconds (u32), last before the checksum
//   PyStreamingCategorical-     categorical baseline, then as tag 8
//     DataDriftDecay (10)
//   PyStreamingCategorical-     categorical baseline, then as tag 9
//     DataDriftFlush (11)
//
//   continuous baseline         bin rule (u8: 0 FreedmanDiaconis, 1 Scott,
//                               2 Sturges); sample count (u64); minimum and
//                               maximum (f64); bin count (u64); edges: list of
//                               f64; shares: list of f64
//   categorical baseline        sample count (u64); labels: list of labels,
//                               ascending byte-wise; shares: list of f64, one
//                               per label and the unseen-label slot
//
// The monotonic clock does not survive a process: a flush detector stores the
// age of its current window and a restored one starts that window at now
// minus the age (at the clock's zero if the clock reads less than the age).
//
// Bytes are data from outside the process. Reading them checks, in order, the
// size, magic, version, length and checksum, then the class, then every field
// as it is read (each list's count against the bytes that remain, before
// anything is allocated), then the whole object against the invariants its
// constructor and methods keep. Anything else is refused with a StateError
// that names what is wrong; a rebuilt object never fails later.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/drift.hpp"
#include "core/errors.hpp"
#include "core/monitors.hpp"
#include "core/result.hpp"

namespace lumetra::state {

/// The format version this build writes; every earlier version stays readable.
inline constexpr std::uint16_t kFormatVersion = 1;
/// Bytes of the header and of the checksum around a body.
inline constexpr std::size_t kHeaderSize = 16;
inline constexpr std::size_t kChecksumSize = 4;

/// Which class a record holds. The values are part of the format.
enum class Tag : std::uint8_t {
    DataBiasStreaming = 1,
    ModelBiasStreaming = 2,
    BinaryClassificationStreaming = 3,
    LinearRegressionStreaming = 4,
    LogisticRegressionStreaming = 5,
    ContinuousDataDrift = 6,
    CategoricalDataDrift = 7,
    StreamingContinuousDecay = 8,
    StreamingContinuousFlush = 9,
    StreamingCategoricalDecay = 10,
    StreamingCategoricalFlush = 11,
};
/// The Python class a tag stands for ("PyDataBiasStreaming", ...).
std::string_view class_name(Tag tag) noexcept;

/// CRC-32C of `bytes`, continuing from `crc` (0 to start).
std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc = 0) noexcept;

/// The record of an object.
std::vector<std::uint8_t> to_bytes(const StreamingDataBias& m);
std::vector<std::uint8_t> to_bytes(const StreamingModelBias& m);
std::vector<std::uint8_t> to_bytes(const BinaryClassificationStreaming& m);
std::vector<std::uint8_t> to_bytes(const LinearRegressionStreaming& m);
std::vector<std::uint8_t> to_bytes(const LogisticRegressionStreaming& m);
std::vector<std::uint8_t> to_bytes(const drift::ContinuousDataDrift& d);
std::vector<std::uint8_t> to_bytes(const drift::CategoricalDataDrift& d);
/// Tagged by the detector's mode; a flush detector's window age is read now.
std::vector<std::uint8_t> to_bytes(const drift::StreamingContinuousDataDrift& d);
std::vector<std::uint8_t> to_bytes(const drift::StreamingCategoricalDataDrift& d);

/// The object a record holds, which must carry `tag` (a class of core type
/// T); StateError naming the first fault otherwise.
template <class T>
Result<T, StateError> from_bytes(std::span<const std::uint8_t> bytes, Tag tag);

/// Adds what `other` accumulated since its last flush into `self`, as if
/// `self` had received it too. Refused, with `self` unchanged, when the two
/// differ in baseline (bit for bit) or configuration, or when a count would
/// overflow (a detector's stream past 2^53 samples, in either mode). Counts
/// add exactly; double-precision sums add as the sum of the two partial
/// sums; detector weights add as they stand (see README).
Result<void, StateError> merge(StreamingDataBias& self, const StreamingDataBias& other);
Result<void, StateError> merge(StreamingModelBias& self, const StreamingModelBias& other);
Result<void, StateError> merge(BinaryClassificationStreaming& self, const BinaryClassificationStreaming& other);
Result<void, StateError> merge(LinearRegressionStreaming& self, const LinearRegressionStreaming& other);
Result<void, StateError> merge(LogisticRegressionStreaming& self, const LogisticRegressionStreaming& other);
Result<void, StateError> merge(drift::StreamingContinuousDataDrift& self,
                               const drift::StreamingContinuousDataDrift& other);
Result<void, StateError> merge(drift::StreamingCategoricalDataDrift& self,
                               const drift::StreamingCategoricalDataDrift& other);

}  // namespace lumetra::state
