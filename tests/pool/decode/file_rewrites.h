// A worker that changes a frame file while the host reads it. This test
// program's own read stands in front of the C library's (it is defined here,
// so every caller in the program reaches it): once armed for one file, a read
// of that file takes the first half of what it was asked, then the worker
// acts (rewrites the whole file in place with other bytes, or renames another
// file over its name), and the read answers that half; the next read goes on
// in whatever the file now holds, as a read torn by a worker's rewrite would.
// Unarmed, or for any other file, it only passes through.
#pragma once

#include <filesystem>
#include <vector>

namespace vel::testing {

struct FileRewrite {
  enum class Act {
    InPlace,     // the file's bytes are overwritten with `bytes`, same name, same inode
    RenameOver,  // a file holding `bytes` is renamed over the name
  };
  Act act = Act::InPlace;
  std::vector<uint8_t> bytes;
  int reads = 1;  // acts in the first `reads` reads of the file (each read of it, when larger)
};

// Arms `rewrite` for the file at `path` (its inode now).
void arm_file_rewrite(const std::filesystem::path& path, FileRewrite rewrite);
void disarm_file_rewrite();
// How many times the worker acted so far.
int file_rewrites_done();

}  // namespace vel::testing
