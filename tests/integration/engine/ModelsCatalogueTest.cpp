// The catalogue, the size texts, the progress texts and package unpacking on its own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/I18n.h"
#include "engine/Models.h"
#include "support/TempDir.h"

namespace quavox {
namespace {

namespace fs = std::filesystem;
constexpr int64_t MiB = 1 << 20;
constexpr int64_t GiB = int64_t{1} << 30;

class ModelsCatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override { SetUiLang(ulZh); }

  void Write(const std::string& APath, const std::string& ABytes) const {
    fs::create_directories(fs::path(APath).parent_path());
    std::ofstream(APath, std::ios::binary | std::ios::trunc) << ABytes;
  }

  const TTempDir RootDir{"quavox-catalogue"};
  const std::string Root = RootDir.Path();
};

TEST_F(ModelsCatalogueTest, FormatSize) {
  const std::vector<std::pair<int64_t, std::string>> Cases = {
      {0, "?"},
      {-1, "?"},
      {1023, "0 KB"},
      {1048575, "1023 KB"},
      {1048576, "1.0 MB"},
      {GiB - 1, "1024.0 MB"},
      {GiB, "1.00 GB"},
      {4864050463, "4.53 GB"},
  };
  for (const auto& [Bytes, Text] : Cases)
    EXPECT_EQ(FormatSize(Bytes), Text) << Bytes;
}

TEST_F(ModelsCatalogueTest, CatalogueEntries) {
  const auto Models = ModelVariants();
  std::vector<std::string> Ids;
  for (const auto& m : Models) {
    Ids.push_back(m.Id);
    EXPECT_EQ(m.FileName, "s2-pro-" + m.Id + ".gguf");
    EXPECT_EQ(m.Kind, dkModel);
    EXPECT_TRUE(m.Url.empty());
    EXPECT_TRUE(m.Backend.empty());
  }
  EXPECT_EQ(Ids,
            (std::vector<std::string>{"q4_k_m", "q5_k_m", "q6_k", "q8_0", "q3_k", "q2_k", "f16"}));
  EXPECT_EQ(Models[2].SizeBytes, 4864050463);
  EXPECT_EQ(Models[2].Display, "q6_k      4.53 GB   6~8 GB 显存 · 推荐");
  EXPECT_EQ(Models[6].Display, "f16       9.91 GB   不量化,质量最好,要 10 GB+ 显存");
  EXPECT_EQ(DefaultModelVariant().Id, "q6_k");

  SetUiLang(ulEn);
  EXPECT_EQ(ModelVariants()[2].Display, "q6_k      4.53 GB   6-8 GB VRAM · recommended");
  SetUiLang(ulZh);

  const TModelVariant Tokenizer = TokenizerVariant();
  EXPECT_EQ(Tokenizer.FileName, "tokenizer.json");
  EXPECT_EQ(Tokenizer.SizeBytes, 12582912);
  EXPECT_EQ(Tokenizer.Kind, dkTokenizer);
  EXPECT_EQ(Tokenizer.Display, "分词器 tokenizer.json(必需)");

  const auto Packages = EnginePackages();
  ASSERT_EQ(Packages.size(), 1u);
  EXPECT_EQ(Packages[0].FileName, "Quavox_engine_cuda_1.zip");
  EXPECT_EQ(Packages[0].SizeBytes, 564133888);
  EXPECT_EQ(Packages[0].Kind, dkEnginePack);
  EXPECT_EQ(Packages[0].Backend, "cuda");
}

TEST_F(ModelsCatalogueTest, Urls) {
  EXPECT_EQ(
      ModelUrl("https://hf-mirror.com//", "s2-pro-q6_k.gguf"),
      "https://hf-mirror.com/tallyhorn/s2-pro-gguf/resolve/main/s2-pro-q6_k.gguf?download=true");
  EXPECT_EQ(EnginePackageUrl("p.zip"),
            "https://github.com/tallyhorn/quavox/releases/download/quavox-engine-v1/p.zip");
  EXPECT_EQ(EnginePackageUrl("p.zip", "  http://mirror.example/pk  "),
            "http://mirror.example/pk/p.zip");
  EXPECT_EQ(EnginePackageUrl("p.zip", "http://mirror.example/pk/"),
            "http://mirror.example/pk/p.zip");
}

TEST_F(ModelsCatalogueTest, InstalledFilesAndPlausibleSizes) {
  TAppConfig Config(TAppFolders{Root, Root + "appdata/"});
  EXPECT_TRUE(InstalledModels(Config).empty());
  EXPECT_FALSE(TokenizerInstalled(Config));
  EXPECT_FALSE(EngineBackendInstalled(Config, "cuda"));
  EXPECT_FALSE(EngineBackendInstalled(Config, "  "));

  const std::string Models = Config.ModelsDir();
  Write(Models + "b.gguf", "x");
  Write(Models + "A.GGUF", "x");
  Write(Models + "empty.gguf", "");
  Write(Models + "notes.txt", "x");
  Write(Models + "sub/deep.gguf", "x");
  Write(Models + "tokenizer.json", "");
  EXPECT_EQ(InstalledModels(Config), (std::vector<std::string>{"A.GGUF", "b.gguf"}));
  EXPECT_FALSE(TokenizerInstalled(Config));
  Write(Models + "tokenizer.json", "{}");
  EXPECT_TRUE(TokenizerInstalled(Config));
  Write(Config.EngineDir() + "vulkan/s2", "x");
  EXPECT_TRUE(EngineBackendInstalled(Config, " Vulkan"));

  const std::string File = Root + "size.bin";
  EXPECT_FALSE(SizePlausible(File, 0));
  Write(File, "");
  EXPECT_FALSE(SizePlausible(File, 0));
  Write(File, std::string(3 * MiB, 'x'));
  const std::vector<std::pair<int64_t, bool>> Cases = {
      {0, true},       {-5, true},           {4 * MiB, true},   {4 * MiB + 1, false},
      {2 * MiB, true}, {2 * MiB - 1, false}, {60 * MiB, false},
  };
  for (const auto& [Expected, Plausible] : Cases)
    EXPECT_EQ(SizePlausible(File, Expected), Plausible) << Expected;
  // From 20 MiB on the tolerance is a twentieth of the expected size.
  Write(File, std::string(21 * MiB, 'x'));
  EXPECT_TRUE(SizePlausible(File, 22 * MiB));
  EXPECT_FALSE(SizePlausible(File, 23 * MiB));
}

TEST_F(ModelsCatalogueTest, ProgressArithmeticAndTexts) {
  TDownloadProgress p;
  p.FileName = "m.gguf";
  EXPECT_EQ(p.Describe(), "空闲");
  const std::vector<std::pair<TDownloadStage, std::string>> Texts = {
      {dsConnecting, "m.gguf —— 正在连接…"},
      {dsVerifying, "m.gguf —— 正在校验…"},
      {dsUnpacking, "m.gguf —— 正在解压…"},
      {dsDone, "m.gguf —— 完成"},
      {dsFailed, "m.gguf —— 失败:坏了"},
      {dsCancelled, "m.gguf —— 已取消(下了一半的留着,下次接着下)"},
  };
  p.Error = "坏了";
  for (const auto& [Stage, Text] : Texts) {
    p.Stage = Stage;
    EXPECT_EQ(p.Describe(), Text);
  }

  p.Stage = dsDownloading;
  p.Received = GiB;
  p.Total = 4 * GiB;
  p.BytesPerSec = 10.0 * MiB;
  EXPECT_DOUBLE_EQ(p.Percent(), 25.0);
  EXPECT_EQ(p.EtaSeconds(), 307);
  EXPECT_EQ(p.Describe(), "m.gguf  1.00 GB / 4.00 GB  (25.0%)  10.0 MB/s  剩约 5 分 7 秒");

  struct TEta {
    int64_t Received, Total;
    double Rate;
    int32_t Seconds;
  };
  for (const TEta& e : std::vector<TEta>{{0, 5, 2, 2},
                                         {0, 7, 2, 4},
                                         {0, 10, 0.5, 0},
                                         {10, 10, 5, 0},
                                         {11, 10, 5, 0},
                                         {0, 0, 5, 0}}) {
    p.Received = e.Received;
    p.Total = e.Total;
    p.BytesPerSec = e.Rate;
    EXPECT_EQ(p.EtaSeconds(), e.Seconds) << e.Received << "/" << e.Total << " at " << e.Rate;
  }
  p.Received = 20;
  p.Total = 10;
  EXPECT_DOUBLE_EQ(p.Percent(), 100.0);
  p.Total = 0;
  EXPECT_DOUBLE_EQ(p.Percent(), 0.0);
  p.Received = 0;
  p.BytesPerSec = 0;
  EXPECT_EQ(p.Describe(), "m.gguf  ? / ?  (0.0%)  ?/s");
}

// Patches the uncompressed size recorded for the single entry of a zip, in the local header
// and the central directory, so the archive claims far less than it holds.
void UnderstateSize(std::string& AZip, uint32_t ASize) {
  auto Patch = [&](const char* ASignature, size_t AFieldOffset) {
    const size_t At = AZip.find(std::string(ASignature, 4));
    ASSERT_NE(At, std::string::npos);
    std::memcpy(AZip.data() + At + AFieldOffset, &ASize, 4);
  };
  Patch("PK\x03\x04", 22);
  Patch("PK\x01\x02", 24);
}

TEST_F(ModelsCatalogueTest, UnpackingRefusesMoreBytesThanTheArchiveDeclares) {
  const std::string Zip = Root + "lying.zip";
  const std::string Zeros(16 * MiB, '\0');
  int Error = 0;
  zip_t* z = zip_open(Zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &Error);
  ASSERT_NE(z, nullptr);
  zip_file_add(z, "big.bin", zip_source_buffer(z, Zeros.data(), Zeros.size(), 0), 0);
  ASSERT_EQ(zip_close(z), 0);
  std::string Bytes;
  {
    std::ifstream In(Zip, std::ios::binary);
    Bytes.assign(std::istreambuf_iterator<char>(In), {});
  }
  UnderstateSize(Bytes, 1000);
  Write(Zip, Bytes);

  std::string Why;
  EXPECT_EQ(UnpackEnginePackage(Zip, Root + "out/", TUnpackLimits{}, Why), urBadPackage);
  EXPECT_FALSE(Why.empty());
  EXPECT_FALSE(fs::exists(Root + "out/big.bin"));
  EXPECT_FALSE(fs::exists(Root + "out/big.bin.unpacking"));
}

TEST_F(ModelsCatalogueTest, UnpackingReportsArchivesItCannotRead) {
  Write(Root + "junk.zip", "this is no zip archive at all");
  std::string Why;
  EXPECT_EQ(UnpackEnginePackage(Root + "junk.zip", Root + "out/", TUnpackLimits{}, Why),
            urBadPackage);
  EXPECT_FALSE(Why.empty());
  Why.clear();
  EXPECT_EQ(UnpackEnginePackage(Root + "missing.zip", Root + "out/", TUnpackLimits{}, Why),
            urBadPackage);
  EXPECT_FALSE(Why.empty());
}

// A sound package whose folder cannot be made is no fault of the package.
TEST_F(ModelsCatalogueTest, UnpackingTellsAFolderItCannotWriteFromABrokenPackage) {
  const std::string Zip = Root + "good.zip";
  int Error = 0;
  zip_t* z = zip_open(Zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &Error);
  ASSERT_NE(z, nullptr);
  const std::string Exe = "#!/bin/sh\n";
  zip_file_add(z, "s2", zip_source_buffer(z, Exe.data(), Exe.size(), 0), 0);
  ASSERT_EQ(zip_close(z), 0);
  Write(Root + "occupied", "a file where the folder should be");
  std::string Why;
  EXPECT_EQ(UnpackEnginePackage(Zip, Root + "occupied/cuda/", TUnpackLimits{}, Why), urWriteFailed);
  EXPECT_FALSE(Why.empty());
  EXPECT_EQ(UnpackEnginePackage(Zip, Root + "out/", TUnpackLimits{}, Why), urUnpacked);
  EXPECT_TRUE(fs::exists(Root + "out/s2"));
}

}  // namespace
}  // namespace quavox
