#include "pool/batch/batch_close.h"

#include <gtest/gtest.h>
#include "pool/pool_test_units.h"

namespace vel {
namespace {

constexpr uint64_t kStart = 1'000'000 * kMs;
constexpr uint64_t kCloseNow = kStart + 12'345'678'900;

constexpr uint8_t kPsd = 0, kTga = 1, kMemory = 2, kNull = 3;

enum class Next { None, Quick, Slow };

TEST(BatchClose, OutputByDeliveredByReaders) {
  struct Case {
    const char* what;
    uint8_t output;
    uint64_t delivered, expected;
    bool readers_complete;
    bool quick, comp_3d;
    uint64_t file_ds;
    bool log_names_template;
    BatchCloseKind kind;
    bool psd;
    Next next;
  } cases[] = {
      {"PSD full, quick chaining", kPsd, 100, 100, true, true, false, 1, false, BatchCloseKind::Closed, false, Next::Quick},
      {"PSD full, no quick chaining", kPsd, 100, 100, true, false, false, 1, false, BatchCloseKind::Closed, false,
       Next::Slow},
      {"PSD full, 3D", kPsd, 100, 100, true, true, true, 1, false, BatchCloseKind::Closed, false, Next::Slow},
      {"PSD 99 of 100 stays PSD", kPsd, 99, 100, true, true, false, 1, false, BatchCloseKind::Closed, false,
       Next::Slow},
      {"TGA 99 of 100 falls back", kTga, 99, 100, true, true, false, 1, false, BatchCloseKind::Closed, true,
       Next::Slow},
      {"TGA full", kTga, 100, 100, true, true, false, 1, false, BatchCloseKind::Closed, false, Next::Quick},
      {"TGA no frame", kTga, 0, 100, true, true, false, 1, false, BatchCloseKind::NoFrameFallback, true, Next::None},
      {"memory full, readers done", kMemory, 100, 100, true, true, false, 1, false, BatchCloseKind::Closed, false,
       Next::Quick},
      {"memory, a reader unfinished", kMemory, 100, 100, false, true, false, 1, false, BatchCloseKind::MemoryUnclean,
       true, Next::None},
      {"memory short", kMemory, 60, 100, true, true, false, 1, false, BatchCloseKind::Closed, true, Next::Slow},
      {"memory no frame", kMemory, 0, 100, true, true, false, 1, false, BatchCloseKind::NoFrameFallback, true,
       Next::None},
      {"null mode", kNull, 0, 100, true, true, false, 1, false, BatchCloseKind::NullMeasured, false, Next::None},
      {"null mode, a reader unfinished", kNull, 0, 100, false, true, false, 1, false, BatchCloseKind::MemoryUnclean,
       true, Next::None},
      {"PSD no frame", kPsd, 0, 100, true, true, false, 1, false, BatchCloseKind::Disabled, false, Next::None},
      {"PSD no frame, template named at half size", kPsd, 0, 100, true, true, false, 2, true,
       BatchCloseKind::TemplateFailure, false, Next::None},
      {"PSD no frame, template named at full size", kPsd, 0, 100, true, true, false, 1, true,
       BatchCloseKind::Disabled, false, Next::None},
      {"nothing expected, nothing came", kPsd, 0, 0, true, true, false, 1, false, BatchCloseKind::Closed, false,
       Next::Quick},
  };
  for (const Case& c : cases) {
    BatchCloseInputs in;
    in.output = c.output;
    in.delivered = c.delivered;
    in.expected = c.expected;
    in.null_frames = c.output == kNull ? 100 : 0;
    in.readers_complete = c.readers_complete;
    in.file_ds = c.file_ds;
    in.first_log_names_template = [&c] { return c.log_names_template; };
    in.first_log_path = "/tmp/velocinta_pool/job/w0.log";
    in.quick_chaining = c.quick;
    in.comp_3d = c.comp_3d;
    in.started_ns = kStart;
    in.now_ns = kCloseNow;
    const BatchCloseVerdict v = close_batch(in);
    EXPECT_EQ(v.kind, c.kind) << c.what;
    EXPECT_EQ(v.choose_psd, c.psd) << c.what;
    EXPECT_EQ(v.error_line.has_value(), c.psd) << c.what;
    const std::optional<uint64_t> next = c.next == Next::None    ? std::nullopt
                                         : c.next == Next::Quick ? std::optional<uint64_t>(kCloseNow + 500 * kMs)
                                                                 : std::optional<uint64_t>(kCloseNow + 3000 * kMs);
    EXPECT_EQ(v.next_batch_at_ns, next) << c.what;
    EXPECT_EQ(v.record_timing, c.kind == BatchCloseKind::Closed) << c.what;
    EXPECT_EQ(v.null_record.has_value(), c.kind == BatchCloseKind::NullMeasured) << c.what;
    EXPECT_EQ(v.disable_reason.has_value(), c.kind == BatchCloseKind::Disabled) << c.what;
    EXPECT_EQ(v.template_failure_reason.has_value(), c.kind == BatchCloseKind::TemplateFailure) << c.what;
  }
}

TEST(BatchClose, TheTextsOfEachEnd) {
  BatchCloseInputs in;
  in.expected = 48;
  in.first_log_path = "/tmp/velocinta_pool/job/w0.log";
  in.started_ns = kStart;
  in.now_ns = kStart + 1234567;
  EXPECT_EQ(close_batch(in).disable_reason,
            "lot sans aucune frame produite — vérifier /tmp/velocinta_pool/job/w0.log");
  in.file_ds = 2;
  in.first_log_names_template = [] { return true; };
  EXPECT_EQ(close_batch(in).template_failure_reason, "signalé par aerender sur un lot");
  in.output = kTga;
  EXPECT_EQ(close_batch(in).error_line,
            "pool: sortie expérimentale sans image utilisable — repli PSD pour les images manquantes");
  in.delivered = 47;
  EXPECT_EQ(close_batch(in).error_line, "pool: lot expérimental incomplet — repli PSD pour les images manquantes");
  in.output = kMemory;
  in.readers_complete = false;
  EXPECT_EQ(close_batch(in).error_line,
            "pool: memory output did not finish cleanly — PSD selected for a future batch");
  in.output = kNull;
  in.readers_complete = true;
  in.null_frames = 46;
  EXPECT_EQ(close_batch(in).null_record, "POOL_NULL callbacks=46/48 elapsed_ms=1.235 usable_frames=0");
}

TEST(BatchClose, TheLogIsReadOnlyForAPsdBatchWithoutFrameAtReducedSize) {
  int reads = 0;
  BatchCloseInputs in;
  in.expected = 10;
  in.first_log_names_template = [&reads] {
    ++reads;
    return false;
  };
  close_batch(in);  // full size
  in.file_ds = 2;
  in.delivered = 10;
  close_batch(in);  // frames came
  EXPECT_EQ(reads, 0);
  in.delivered = 0;
  close_batch(in);
  EXPECT_EQ(reads, 1);
}

TEST(BatchClose, CompleteOnlyWhenNothingIsPending) {
  EXPECT_TRUE(batch_complete({}));
  uint64_t BatchPending::*fields[] = {&BatchPending::exits_to_examine, &BatchPending::frames_returned_now,
                                      &BatchPending::frames_handed, &BatchPending::queued_ranges,
                                      &BatchPending::unfinished_jobs};
  for (auto field : fields) {
    BatchPending p;
    p.*field = 1;
    EXPECT_FALSE(batch_complete(p));
  }
}

}  // namespace
}  // namespace vel
