// Fuzz target of the channel file reader (libFuzzer). Every input is read as a whole channel
// file, and what the reader makes of it is held against the reference model of the rules
// (channel_file_model.h): the lines, the fields of each line, the numbers of each field and
// the text itself as a number, and the channels a load of the file yields. A difference
// aborts with both results.

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "relay/channel_file.h"
#include "tests/fuzz/channel_file_model.h"

namespace {

[[noreturn]] void Differs(const char* what, const std::string& ours, const std::string& model,
                          const std::string& input) {
  std::fprintf(stderr, "%s differs from the rules: reader \"%s\", model \"%s\" (input of %zu bytes)\n", what,
               ours.c_str(), model.c_str(), input.size());
  std::abort();
}

// Aborts when `same` is false; the two results are described only then.
#define CHECK_SAME(same, what, ours, model) \
  do {                                     \
    if (!(same)) Differs(what, ours, model, input); \
  } while (false)

// Where the channel file is written: KORVENET_FUZZ_DIR when set (the caller removes it), else
// a directory of this process's own, removed at a normal exit (a timed-out run may leave it).
// In memory where the machine has such a file system: a file system on disk may write a file
// that is cut and written again out at every close, which costs a hundred times what the reader
// does.
const std::string& Directory() {
  // Never destroyed, so that the removal at exit can still read it.
  static const std::string* directory = [] {
    if (const char* given = std::getenv("KORVENET_FUZZ_DIR"); given && *given) {
      return new std::string(std::string(given) + "/");
    }
    std::error_code error;
    const std::filesystem::path base =
        std::filesystem::is_directory("/dev/shm", error) && ::access("/dev/shm", W_OK) == 0
            ? std::filesystem::path("/dev/shm")
            : std::filesystem::temp_directory_path();
    std::string pattern = (base / "korvenet-fuzz-XXXXXX").string();
    auto* made = new std::string(::mkdtemp(pattern.data()) ? pattern + "/" : std::string());
    std::atexit([] {
      std::error_code ignored;
      if (!Directory().empty()) std::filesystem::remove_all(Directory(), ignored);
    });
    return made;
  }();
  return *directory;
}

// The lines, their fields and the fields' numbers. Lines past the first few hundred add
// nothing but time; the load below covers the count.
void CheckLines(const std::string& input) {
  const std::vector<std::string> lines = SplitLines(input);
  const std::vector<std::string> expected = model::SplitLines(input);
  CHECK_SAME(lines.size() == expected.size(), "the line count", std::to_string(lines.size()),
        std::to_string(expected.size()));
  for (std::size_t i = 0; i < lines.size() && i < 512; ++i) {
    CHECK_SAME(lines[i] == expected[i], "a line", lines[i], expected[i]);
    for (int n = 1; n <= 6; ++n) {
      const std::string field = ChannelField(lines[i], n);
      const std::string expected_field = model::ChannelField(lines[i], n);
      CHECK_SAME(field == expected_field, "a field", field, expected_field);
      const std::int32_t value = ParseInt(field);
      CHECK_SAME(value == model::ParseInt(field), "a field's number", std::to_string(value),
            std::to_string(model::ParseInt(field)));
    }
  }
}

void CheckLoad(const std::string& input) {
  const std::string& directory = Directory();
  if (directory.empty()) return;
  {
    std::ofstream file(directory + kChannelFileName, std::ios::binary | std::ios::trunc);
    file.write(input.data(), static_cast<std::streamsize>(input.size()));
  }
  const TChannelFile loaded = LoadChannelFile(directory);
  const model::Load expected = model::LoadChannels(input);
  CHECK_SAME(loaded.Found, "finding the file", "missing", "found");
  CHECK_SAME(loaded.Channels.size() == expected.channels.size(), "the channel count",
        std::to_string(loaded.Channels.size()), std::to_string(expected.channels.size()));
  CHECK_SAME(loaded.Channels.size() <= static_cast<std::size_t>(model::kMaxChannels), "the channel limit",
        std::to_string(loaded.Channels.size()), "400");
  CHECK_SAME(loaded.LinesIgnored == expected.lines_ignored, "the lines left out", std::to_string(loaded.LinesIgnored),
        std::to_string(expected.lines_ignored));
  for (std::size_t k = 0; k < loaded.Channels.size(); ++k) {
    const TSootv& c = loaded.Channels[k];
    const model::Channel& e = expected.channels[k];
    auto text = [](const TSootv& s) {
      return std::to_string(s.DevicePort) + ";" + std::to_string(s.SpareValue) + ";" +
             std::to_string(s.ChannelType) + ";" + s.ComPortName + "|" + std::to_string(s.ServerPort) + ";" +
             s.ChannelLabel;
    };
    auto model_text = [](const model::Channel& s) {
      return std::to_string(s.device_port) + ";" + std::to_string(s.spare) + ";" + std::to_string(s.type) + ";" +
             s.port_name + "|" + std::to_string(s.server_port) + ";" + s.label;
    };
    const bool same = c.DevicePort == e.device_port && c.SpareValue == e.spare && c.ChannelType == e.type &&
                      c.ComPortName == e.port_name && c.ServerPort == e.server_port && c.ChannelLabel == e.label;
    CHECK_SAME(same, "a channel", text(c), model_text(e));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckLines(input);
  // The whole input as one number (what a field that is the whole line reads as).
  CHECK_SAME(ParseInt(input) == model::ParseInt(input), "the input's number", std::to_string(ParseInt(input)),
        std::to_string(model::ParseInt(input)));
  CheckLoad(input);
  return 0;
}
