// The pool folder between hosts: one host at a time holds its lock, a host
// that found it held takes it once the other has ended, and the purge that
// follows removes only what the pool made, never through a link.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "core/log.h"
#include "pool/runtime/pool_directory.h"
#include "pool/runtime/pool_purge.h"
#include "support/lock_holder.h"
#include "support/scratch_dir.h"

namespace vel {
namespace {

using testing::ScratchDir;

TEST(PoolFolderLock, OneHostAtATime) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  EXPECT_FALSE(take_pool_folder_lock(pool)) << "the first taker holds it";
  // flock belongs to the open file: a second open in this process is refused
  // exactly as another host's would be, and it names the holder.
  const auto refused = take_pool_folder_lock(pool);
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->held_elsewhere);
  EXPECT_EQ(refused->reason, "dossier " + pool.string() + " utilisé par le processus " + std::to_string(::getpid()));
}

// The lock is the folder's: whatever becomes of the file that names the
// holder, a second taker is refused while the first lives. The file is read
// without following a link or waiting on a FIFO.
TEST(PoolFolderLock, HeldWhateverBecomesOfTheLockFile) {
  const struct {
    const char* name;
    std::function<void(const fs::path& note, const fs::path& scratch)> change;
    const char* holder;  // the pid the refusal names: "" for the holder's own
  } cases[] = {
      {"left alone", [](const fs::path&, const fs::path&) {}, ""},
      {"removed", [](const fs::path& note, const fs::path&) { fs::remove(note); }, "?"},
      {"made a FIFO",
       [](const fs::path& note, const fs::path&) {
         fs::remove(note);
         ASSERT_EQ(::mkfifo(note.c_str(), 0600), 0);
       },
       "?"},
      {"made a link to another pid",
       [](const fs::path& note, const fs::path& scratch) {
         fs::remove(note);
         std::ofstream(scratch / "pid.txt") << "4242\n";
         fs::create_symlink(scratch / "pid.txt", note);
       },
       "?"},
      {"rewritten by hand",
       [](const fs::path& note, const fs::path&) { std::ofstream(note, std::ios::trunc) << "12345\n"; }, "12345"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const fs::path pool = scratch.path() / "velocinta_pool";
    ASSERT_TRUE(ensure_private_dir(pool).ok());
    testing::LockHolder other(pool);
    ASSERT_TRUE(other.holding());
    c.change(pool / kPoolLockName, scratch.path());
    for (int attempt = 0; attempt < 2; ++attempt) {
      const auto refused = take_pool_folder_lock(pool);
      ASSERT_TRUE(refused) << attempt;
      EXPECT_TRUE(refused->held_elsewhere);
      const std::string holder = *c.holder ? c.holder : std::to_string(other.pid());
      EXPECT_EQ(refused->reason, "dossier " + pool.string() + " utilisé par le processus " + holder);
    }
    EXPECT_EQ(fs::exists(fs::symlink_status(pool / kPoolLockName)), std::string(c.name) != "removed")
        << "a refused taker writes nothing";
    other.end();
    EXPECT_FALSE(take_pool_folder_lock(pool)) << "taken once the holder has ended";
  }
}

// The names a host writes beside what others may have put there: the pid in
// "host.lock" as it takes the folder, the log moved aside to
// "velocinta.log.old" past its size. What stands there and is not a file a
// host could have made (a second name of a user's file above all) is neither
// written through nor replaced, and is said once; the folder's lock still
// keeps a second taker out, and the log, cut instead, stays under its size.
TEST(PoolFolderLock, WhatStandsAtANameTheHostWritesIsLeftAsItIs) {
  struct Case {
    const char* name;
    std::function<void(const fs::path& at, const fs::path& user_file)> plant;
    std::string kind;
  };
  std::vector<Case> cases = {
      {"hard link", [](const fs::path& at, const fs::path& user) { fs::create_hard_link(user, at); },
       "lien physique (3 noms)"},
      {"symbolic link", [](const fs::path& at, const fs::path& user) { fs::create_symlink(user, at); },
       "lien symbolique"},
      {"FIFO", [](const fs::path& at, const fs::path&) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }, "FIFO"},
      {"folder", [](const fs::path& at, const fs::path&) { fs::create_directory(at); }, "dossier"},
  };
  if (::geteuid() == 0) {
    cases.push_back({"another user's file",
                     [](const fs::path& at, const fs::path&) {
                       std::ofstream(at) << "theirs";
                       ASSERT_EQ(::chown(at.c_str(), 65534, 65534), 0);
                     },
                     "fichier de l'utilisateur 65534"});
  }
  constexpr uint64_t kLogCap = 600;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const fs::path pool = scratch.path() / "velocinta_pool", log = scratch.path() / "velocinta.log";
    const fs::path user = scratch.path() / "thesis.txt", note = pool / kPoolLockName, old = log.string() + ".old";
    const std::string words(19000, 'w');
    std::ofstream(user) << words;
    ASSERT_TRUE(ensure_private_dir(pool).ok());
    c.plant(note, user);
    c.plant(old, user);
    struct stat note_before{}, old_before{}, now{};
    ASSERT_EQ(::lstat(note.c_str(), &note_before) | ::lstat(old.c_str(), &old_before), 0);
    std::ofstream(log) << std::string(kLogCap + 100, 'x') << '\n';
    ASSERT_TRUE(open_log_file_at(log, LogRole::Host, kLogCap));
    EXPECT_FALSE(take_pool_folder_lock(pool)) << "taken all the same";
    ASSERT_TRUE(take_pool_folder_lock(pool)) << "and held";
    // Each cut shows as the log shrinking; only the first says why.
    std::string text = testing::read_text(log);
    const std::string kept =
        "ERROR: pool: verrou non écrit — " + note.string() + " : " + c.kind + ", laissé tel quel\n";
    EXPECT_EQ(text.find(kept), text.rfind(kept)) << text;
    EXPECT_NE(text.find(kept), std::string::npos) << text;
    const std::string cut = "ERROR: log: rotation impossible vers " + old.string() + " (" + c.kind;
    int cuts = 1, said = text.find(cut) != std::string::npos;
    for (int i = 0; i < 40; ++i) {
      log_line("INFO", "0123456789012345678901234567890123456789");
      const std::string next = testing::read_text(log);
      if (next.size() < text.size()) ++cuts, said += next.find(cut) != std::string::npos;
      EXPECT_LE(next.size(), kLogCap + 100);
      text = next;
    }
    close_log_file();
    EXPECT_GE(cuts, 3);
    EXPECT_EQ(said, 1);
    EXPECT_EQ(testing::read_text(user), words);
    ASSERT_EQ(::lstat(note.c_str(), &now), 0);
    EXPECT_TRUE(now.st_ino == note_before.st_ino && now.st_mode == note_before.st_mode);
    ASSERT_EQ(::lstat(old.c_str(), &now), 0);
    EXPECT_TRUE(now.st_ino == old_before.st_ino && now.st_mode == old_before.st_mode);
  }
}

TEST(PoolFolderClaim, AFolderHeldByAnotherHostIsTakenOnceThatHostHasEnded) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  PoolFolderClaim claim;
  std::vector<fs::path> taken;
  const auto on_taken = [&](const fs::path& dir) { taken.push_back(dir); };

  testing::LockHolder other(pool);
  ASSERT_TRUE(other.holding());
  for (int attempt = 0; attempt < 2; ++attempt) {
    const auto refused = claim.claim(pool, on_taken);
    ASSERT_TRUE(refused) << attempt;
    EXPECT_TRUE(refused->held_elsewhere);
    EXPECT_EQ(refused->reason, "dossier " + pool.string() + " utilisé par le processus " + std::to_string(other.pid()));
    EXPECT_FALSE(claim.held());
    EXPECT_TRUE(taken.empty()) << "nothing of the other host's is purged";
  }

  other.end();
  EXPECT_FALSE(claim.claim(pool, on_taken));
  EXPECT_TRUE(claim.held());
  EXPECT_FALSE(claim.refusal());
  EXPECT_EQ(taken, std::vector<fs::path>{pool});
  EXPECT_EQ(testing::read_text(pool / kPoolLockName), std::to_string(::getpid()) + "\n");
  EXPECT_FALSE(claim.claim(pool, on_taken));
  EXPECT_EQ(taken.size(), 1u) << "the purge runs once per session";
}

// The folder's path no longer names the folder this host locked: nothing of
// this host's goes there any more (another host may take the new one), the
// loss is told, and the folder is not taken again in the session.
TEST(PoolFolderClaim, AFolderRemovedOrReplacedIsLostForTheSession) {
  const struct {
    const char* name;
    std::function<void(const fs::path& pool, const fs::path& scratch)> change;
  } cases[] = {
      {"removed", [](const fs::path& pool, const fs::path&) { fs::remove_all(pool); }},
      {"moved away, a new one made",
       [](const fs::path& pool, const fs::path& scratch) {
         fs::rename(pool, scratch / "moved");
         ASSERT_TRUE(ensure_private_dir(pool).ok());
       }},
      {"moved away, a link to it in its place",
       [](const fs::path& pool, const fs::path& scratch) {
         fs::rename(pool, scratch / "moved");
         fs::create_directory_symlink(scratch / "moved", pool);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir scratch;
    const fs::path pool = scratch.path() / "velocinta_pool";
    PoolFolderClaim claim;
    int taken = 0;
    const auto on_taken = [&](const fs::path&) { ++taken; };
    ASSERT_FALSE(claim.claim(pool, on_taken));
    EXPECT_TRUE(claim.held());
    EXPECT_FALSE(claim.lost());
    c.change(pool, scratch.path());
    EXPECT_FALSE(claim.held());
    const auto lost = claim.lost();
    ASSERT_TRUE(lost);
    EXPECT_FALSE(lost->held_elsewhere);
    EXPECT_EQ(lost->reason, "dossier " + pool.string() + " supprimé ou remplacé depuis sa prise");
    const auto again = claim.claim(pool, on_taken);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->reason, lost->reason);
    EXPECT_FALSE(claim.held());
    EXPECT_EQ(taken, 1) << "neither purged nor taken again";
  }
}

// A folder that is not ours is refused for the session: the claim does not
// look again, even once the folder would do.
TEST(PoolFolderClaim, AFolderNotOursIsRefusedForTheSession) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  ::chmod(pool.c_str(), 0777);
  PoolFolderClaim claim;
  int taken = 0;
  const auto on_taken = [&](const fs::path&) { ++taken; };
  const auto refused = claim.claim(pool, on_taken);
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->held_elsewhere);
  EXPECT_EQ(refused->reason, pool.string() + " is writable by other users");
  ::chmod(pool.c_str(), 0700);
  EXPECT_TRUE(claim.claim(pool, on_taken));
  EXPECT_EQ(taken, 0);

  PoolFolderClaim no_temporary_directory;
  const auto none = no_temporary_directory.claim(fs::path(), on_taken);
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->held_elsewhere);
}

TEST(PoolPurge, OnlyWhatThePoolMadeGoes) {
  const struct {
    const char* name;
    bool pool_made;
  } cases[] = {
      {"job_4_1733700000000000000_0", true},
      {"snapshot.aep", true},
      {"velocinta_snapshot.aep", true},
      {"saved-4-123-0.aep", true},
      {"partial-4-123-1.aep", true},
      {"hostsave-4-123-2.aep", true},
      {"warmup", true},
      {".workers.4-0.tmp", true},
      {"host.lock", false},
      {"workers", false},
      {"saved-4-123-0.aep.bak", false},
      {"notes.txt", false},
      {"Snapshot.aep", false},
      {".host.lock.4-0.tmp", true},
  };
  for (const auto& c : cases) EXPECT_EQ(is_pool_made_name(c.name), c.pool_made) << c.name;

  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  for (const auto& c : cases) {
    if (std::string(c.name) == "warmup" || std::string(c.name).rfind("job_", 0) == 0) {
      fs::create_directories(pool / c.name / "w0");
      std::ofstream(pool / c.name / "w0" / "f_00001.tga") << "frame";
    } else {
      std::ofstream(pool / c.name) << "x";
    }
  }
  std::vector<fs::path> listed = pool_purge_list(pool);
  std::sort(listed.begin(), listed.end());
  std::vector<fs::path> expected;
  for (const auto& c : cases)
    if (c.pool_made) expected.push_back(pool / c.name);
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(listed, expected);
  for (const fs::path& p : listed) EXPECT_TRUE(remove_pool_entry(pool, p.filename().native())) << p;
  for (const auto& c : cases) EXPECT_EQ(fs::exists(fs::symlink_status(pool / c.name)), !c.pool_made) << c.name;
}

// Links a worker left in its job folder, or in place of one, point at the
// user's own folder: the links go, the user's files stay.
TEST(PoolPurge, NoLinkIsFollowed) {
  ScratchDir scratch;
  const fs::path pool = scratch.path() / "velocinta_pool";
  const fs::path user = scratch.path() / "documents";
  ASSERT_TRUE(ensure_private_dir(pool).ok());
  fs::create_directories(user / "inner");
  std::ofstream(user / "keep.txt") << "mine";
  std::ofstream(user / "inner" / "keep.txt") << "mine";
  fs::create_directories(pool / "job_1_1_0" / "w0");
  fs::create_directory_symlink(user, pool / "job_1_1_0" / "w0" / "to_documents");
  fs::create_symlink(user / "keep.txt", pool / "job_1_1_0" / "f_00001.tga");
  fs::create_directory_symlink(user, pool / "job_1_1_1");
  fs::create_directory_symlink(user / "inner", pool / "warmup");

  for (const char* name : {"job_1_1_0", "job_1_1_1", "warmup"}) {
    EXPECT_TRUE(remove_pool_entry(pool, name)) << name;
    EXPECT_FALSE(fs::exists(fs::symlink_status(pool / name))) << name;
  }
  EXPECT_EQ(testing::read_text(user / "keep.txt"), "mine");
  EXPECT_EQ(testing::read_text(user / "inner" / "keep.txt"), "mine");

  // The pool folder itself swapped for a link: nothing is listed or
  // removed through it.
  const fs::path swapped = scratch.path() / "swapped_pool";
  fs::create_directories(user / "job_2_2_2");
  fs::create_directory_symlink(user, swapped);
  EXPECT_TRUE(pool_purge_list(swapped).empty());
  EXPECT_FALSE(remove_pool_entry(swapped, "job_2_2_2"));
  EXPECT_TRUE(fs::is_directory(user / "job_2_2_2"));
}

}  // namespace
}  // namespace vel
