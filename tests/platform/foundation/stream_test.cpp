#include "platform/foundation/stream.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dispatch/run_loop.h"
#include "platform/foundation/url.h"
#include "platform/testing/reset.h"

namespace {

namespace fs = std::filesystem;
using platform::dispatch::RunLoop;
using platform::foundation::Bytes;
using platform::foundation::InputStream;
using platform::foundation::OutputStream;
using platform::foundation::StreamEvent;
using platform::foundation::StreamStatus;
using platform::foundation::to_bytes;
using platform::foundation::to_string;
using platform::foundation::Url;

class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("stream_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir, ec);
    platform::testing::reset();
  }

  static std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  static void write_file(const fs::path& p, const std::string& s) {
    std::ofstream(p, std::ios::binary) << s;
  }

  // Reads the way the multipart encoders do: chunks of `chunk` while bytes are available.
  static std::string drain(InputStream& in, std::size_t chunk) {
    std::string out;
    std::vector<std::uint8_t> buf(chunk);
    while (in.has_bytes_available()) {
      auto n = in.read(buf);
      if (n <= 0) break;
      out.append(buf.begin(), buf.begin() + n);
    }
    return out;
  }

  fs::path dir;
};

TEST_F(StreamTest, DataInputStreamReadsInChunksThenReportsTheEnd) {
  auto in = InputStream::from_data(to_bytes("hello, world"));
  EXPECT_EQ(in->status(), StreamStatus::not_open);
  EXPECT_FALSE(in->has_bytes_available());
  std::vector<std::uint8_t> buf(5);
  EXPECT_EQ(in->read(buf), -1);            // not open
  EXPECT_FALSE(in->error());

  in->open();
  EXPECT_EQ(in->status(), StreamStatus::open);
  EXPECT_EQ(drain(*in, 5), "hello, world");
  EXPECT_FALSE(in->has_bytes_available());
  EXPECT_EQ(in->status(), StreamStatus::at_end);
  EXPECT_EQ(in->read(buf), 0);
  in->close();
  EXPECT_EQ(in->status(), StreamStatus::closed);
  EXPECT_EQ(in->read(buf), -1);
  EXPECT_FALSE(in->error());
}

TEST_F(StreamTest, EmptyDataInputStreamIsAtEndOnceOpen) {
  auto in = InputStream::from_data({});
  in->open();
  EXPECT_FALSE(in->has_bytes_available());
  std::vector<std::uint8_t> buf(4);
  EXPECT_EQ(in->read(buf), 0);
  EXPECT_EQ(in->status(), StreamStatus::at_end);
}

TEST_F(StreamTest, FileInputStreamReadsTheWholeFile) {
  std::string content;
  for (int i = 0; i < 3000; ++i) content.push_back(static_cast<char>(i % 251));
  write_file(dir / "body.bin", content);
  auto in = InputStream::from_file(dir / "body.bin");
  in->open();
  EXPECT_EQ(in->status(), StreamStatus::open);
  EXPECT_EQ(drain(*in, 1024), content);
  EXPECT_EQ(in->status(), StreamStatus::at_end);
  EXPECT_FALSE(in->error());
  in->close();
}

TEST_F(StreamTest, MissingFileFailsAtOpenWithPosixNoEntry) {
  auto in = InputStream::from_file(dir / "absent.txt");
  in->open();
  EXPECT_EQ(in->status(), StreamStatus::error);
  EXPECT_FALSE(in->has_bytes_available());
  std::vector<std::uint8_t> buf(4);
  EXPECT_EQ(in->read(buf), -1);
  ASSERT_TRUE(in->error());
  EXPECT_EQ(in->error()->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(in->error()->code, ENOENT);
}

TEST_F(StreamTest, ReadingADirectoryFailsWithTheReadError) {
  auto in = InputStream::from_file(dir);
  in->open();
  std::vector<std::uint8_t> buf(16);
  EXPECT_EQ(in->read(buf), -1);
  EXPECT_EQ(in->status(), StreamStatus::error);
  ASSERT_TRUE(in->error());
  EXPECT_EQ(in->error()->code, EISDIR);
}

TEST_F(StreamTest, MemoryOutputStreamCollectsWrites) {
  auto out = OutputStream::to_memory();
  EXPECT_FALSE(out->has_space_available());
  EXPECT_EQ(out->write(to_bytes("x")), -1);   // not open
  out->open();
  EXPECT_TRUE(out->has_space_available());
  EXPECT_EQ(out->write(to_bytes("MIME-Version: 1.0\r\n")), 19);
  EXPECT_EQ(out->write({}), 0);
  EXPECT_EQ(out->write(to_bytes("--b--\r\n")), 7);
  out->close();
  EXPECT_EQ(to_string(out->memory_contents()), "MIME-Version: 1.0\r\n--b--\r\n");
  EXPECT_EQ(out->write(to_bytes("late")), -1);
  EXPECT_FALSE(out->error());
}

TEST_F(StreamTest, FileOutputStreamTruncatesOrAppends) {
  const auto path = dir / "out.txt";
  write_file(path, "old content");

  auto out = OutputStream::to_file(path, false);
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(read_file(path), "old content");   // nothing happens before open
  out->open();
  EXPECT_EQ(out->write(to_bytes("abc")), 3);
  out->close();
  EXPECT_EQ(read_file(path), "abc");
  EXPECT_TRUE(out->memory_contents().empty());

  auto app = OutputStream::to_file(path, true);
  app->open();
  EXPECT_EQ(app->write(to_bytes("def")), 3);
  app->close();
  EXPECT_EQ(read_file(path), "abcdef");

  auto created = OutputStream::to_file(dir / "new.txt", false);
  created->open();
  created->close();
  EXPECT_TRUE(fs::exists(dir / "new.txt"));
}

TEST_F(StreamTest, FileOutputStreamOpenFailureIsAnError) {
  auto out = OutputStream::to_file(dir / "no" / "such" / "dir.txt", false);
  out->open();
  EXPECT_EQ(out->status(), StreamStatus::error);
  EXPECT_FALSE(out->has_space_available());
  EXPECT_EQ(out->write(to_bytes("x")), -1);
  ASSERT_TRUE(out->error());
  EXPECT_EQ(out->error()->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(out->error()->code, ENOENT);
}

TEST_F(StreamTest, WriteToAFullDeviceReturnsMinusOneWithTheError) {
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  auto out = OutputStream::to_file("/dev/full", true);
  out->open();
  ASSERT_EQ(out->status(), StreamStatus::open);
  EXPECT_TRUE(out->has_space_available());
  EXPECT_EQ(out->write(to_bytes("data that does not fit")), -1);
  EXPECT_EQ(out->status(), StreamStatus::error);
  EXPECT_FALSE(out->has_space_available());
  ASSERT_TRUE(out->error());
  EXPECT_EQ(out->error()->domain, "NSPOSIXErrorDomain");
  EXPECT_EQ(out->error()->code, ENOSPC);
  EXPECT_FALSE(out->error()->localized_description().empty());
}

TEST_F(StreamTest, FileUrlsOpenFileStreamsOtherUrlsGiveNone) {
  const auto path = dir / "a file with spaces.txt";
  auto out = OutputStream::to_file(Url::file(path), false);
  ASSERT_TRUE(out);
  out->open();
  EXPECT_EQ(out->write(to_bytes("via url")), 7);
  out->close();
  auto in = InputStream::from_file(Url::file(path));
  ASSERT_TRUE(in);
  in->open();
  EXPECT_EQ(drain(*in, 64), "via url");

  auto web = Url::parse("https://intranet.example.org/upload");
  ASSERT_TRUE(web);
  EXPECT_EQ(InputStream::from_file(*web), nullptr);
  EXPECT_EQ(OutputStream::to_file(*web, false), nullptr);
}

TEST_F(StreamTest, ScheduledDelegateGetsEventsWhenTheRunLoopRuns) {
  std::vector<unsigned> events;
  auto in = InputStream::from_data(to_bytes("abcd"));
  in->schedule(RunLoop::main(), [&](StreamEvent e) { events.push_back(e); });
  in->open();
  std::vector<std::uint8_t> buf(2);
  in->read(buf);
  in->read(buf);
  EXPECT_TRUE(events.empty());   // delivered on the run loop, not inline
  RunLoop::main().run_pending();
  EXPECT_EQ(events, (std::vector<unsigned>{StreamEvent::open_completed, StreamEvent::has_bytes_available,
                                           StreamEvent::has_bytes_available, StreamEvent::end_encountered}));
}

TEST_F(StreamTest, ScheduledDelegateSeesErrorsAndNothingAfterClose) {
  std::vector<unsigned> events;
  auto in = InputStream::from_file(dir / "absent");
  in->schedule(RunLoop::main(), [&](StreamEvent e) { events.push_back(e); });
  in->open();
  RunLoop::main().run_pending();
  EXPECT_EQ(events, (std::vector<unsigned>{StreamEvent::error_occurred}));

  events.clear();
  auto out = OutputStream::to_memory();
  out->open();
  out->schedule(RunLoop::main(), [&](StreamEvent e) { events.push_back(e); });   // already open: told at once
  out->write(to_bytes("x"));
  out->close();                                                                   // drops what is still waiting
  RunLoop::main().run_pending();
  EXPECT_TRUE(events.empty());

  auto out2 = OutputStream::to_memory();
  out2->open();
  out2->schedule(RunLoop::main(), [&](StreamEvent e) { events.push_back(e); });
  RunLoop::main().run_pending();
  EXPECT_EQ(events, (std::vector<unsigned>{StreamEvent::has_space_available}));
}

// A composed stream, as the multipart encoders build: the concatenation of parts.
class ConcatInputStream : public InputStream {
 public:
  explicit ConcatInputStream(std::vector<std::shared_ptr<InputStream>> parts) : parts_(std::move(parts)) {}
  void open() override {
    for (auto& p : parts_) p->open();
    set_status(StreamStatus::open);
    notify(StreamEvent::open_completed);
  }
  void close() override {
    for (auto& p : parts_) p->close();
    set_status(StreamStatus::closed);
  }
  std::ptrdiff_t read(std::span<std::uint8_t> buffer) override {
    while (index_ < parts_.size()) {
      auto n = parts_[index_]->read(buffer);
      if (n < 0) {
        fail(*parts_[index_]->error());
        return -1;
      }
      if (n > 0) return n;
      ++index_;
    }
    set_status(StreamStatus::at_end);
    return 0;
  }
  bool has_bytes_available() const override { return status() == StreamStatus::open; }

 private:
  std::vector<std::shared_ptr<InputStream>> parts_;
  std::size_t index_ = 0;
};

TEST_F(StreamTest, SubclassComposesStreamsAndReportsTheirErrors) {
  write_file(dir / "file.txt", "file-part");
  ConcatInputStream ok({InputStream::from_data(to_bytes("head|")), InputStream::from_file(dir / "file.txt"),
                        InputStream::from_data(to_bytes("|tail"))});
  ok.open();
  EXPECT_EQ(drain(ok, 3), "head|file-part|tail");
  EXPECT_EQ(ok.status(), StreamStatus::at_end);

  ConcatInputStream bad({InputStream::from_data(to_bytes("head|")), InputStream::from_file(dir / "absent")});
  bad.open();
  EXPECT_EQ(drain(bad, 1024), "head|");
  EXPECT_EQ(bad.status(), StreamStatus::error);
  ASSERT_TRUE(bad.error());
  EXPECT_EQ(bad.error()->code, ENOENT);
}

}  // namespace
