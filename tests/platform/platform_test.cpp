#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/com.h"
#include "platform/files.h"

namespace wuqu {
namespace {

TEST(Com, BalanceIsKeptPerThread) {
  const int before = ComBalance();
  ComInitialize();
  ComInitialize();
  int other_thread_balance = -1;
  std::thread([&] { other_thread_balance = ComBalance(); }).join();
  EXPECT_EQ(other_thread_balance, 0);
  EXPECT_EQ(ComBalance(), before + 2);
  ComUninitialize();
  ComUninitialize();
  EXPECT_EQ(ComBalance(), before);
}

TEST(Files, SizeOfFileMissingFileAndFolder) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "wuqu_platform_test";
  fs::create_directories(dir);
  const fs::path file = dir / "\xE4\xB8\x8B\xE8\xBD\xBD.bin";  // a UTF-8 name
  {
    std::ofstream out(file, std::ios::binary);
    out << std::string(1234, 'x');
  }
  EXPECT_EQ(FileSize(file.string()), 1234);
  EXPECT_EQ(FileSize((dir / "missing").string()), -1);
  EXPECT_EQ(FileSize(dir.string()), -1);
  fs::remove_all(dir);
}

TEST(Files, ProgramFolderHoldsThisTest) {
  const std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_NE(folder.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(folder + "/platform_test"));
}

TEST(Files, FoldersAreMadeAndProbedWithoutLeavingAnything) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / "wuqu_platform_folders";
  fs::remove_all(dir);
  const std::string deep = (dir / "a" / "\xE4\xB8\x8B\xE8\xBD\xBD" / "c").string();
  EXPECT_TRUE(MakeFolders(deep));
  EXPECT_TRUE(IsFolder(deep));
  EXPECT_TRUE(MakeFolders(deep + "/"));  // already there
  EXPECT_TRUE(CanWriteInFolder(deep));
  EXPECT_TRUE(fs::is_empty(deep));  // the probe's file is gone again

  std::ofstream((dir / "file").string()) << "x";
  EXPECT_FALSE(MakeFolders((dir / "file" / "below").string()));
  EXPECT_FALSE(MakeFolders((dir / "file").string()));
  EXPECT_FALSE(IsFolder((dir / "file").string()));
  EXPECT_FALSE(CanWriteInFolder((dir / "file").string()));
  EXPECT_FALSE(CanWriteInFolder((dir / "missing").string()));
  EXPECT_FALSE(MakeFolders(""));
  // Takes no files, whoever asks.
  EXPECT_FALSE(CanWriteInFolder("/proc"));
  EXPECT_FALSE(MakeFolders("/proc/wuqu"));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace wuqu
