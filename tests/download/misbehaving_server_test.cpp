// The misbehaving server's file transforms, which end-to-end tests rely on to serve a release
// file wrongly, and that a cleared path serves the file again.
#include <gtest/gtest.h>

#include <fstream>

#include "download/download.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

TEST(MisbehavingServer, ServesFilesWronglyOnRequest) {
  TempFolder root;
  const std::string bytes = "0123456789";
  std::filesystem::create_directories(root.path() / "files");
  std::ofstream(root.path() / "files/f") << bytes;
  MisbehavingServer server(root.path());
  auto fetchBody = [&] {
    std::string body, error;
    EXPECT_TRUE(fetchUrl(server.url() + "files/f", ManifestSink{body}, error, false)) << error;
    return body;
  };

  EXPECT_EQ(fetchBody(), bytes);
  server.set("/files/f", R"({"transform": "wrong-bytes"})");
  std::string wrong = fetchBody();
  ASSERT_EQ(wrong.size(), bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) EXPECT_NE(wrong[i], bytes[i]) << i;
  server.set("/files/f", R"({"transform": "one-byte-short"})");
  EXPECT_EQ(fetchBody(), "012345678");
  server.set("/files/f", R"({"transform": "one-byte-long"})");
  EXPECT_EQ(fetchBody(), bytes + "!");
  server.set("/files/f", R"({"file": "files/f", "declare": 4})");
  EXPECT_EQ(fetchBody(), "0123");
  server.clear("/files/f");
  EXPECT_EQ(fetchBody(), bytes);
  EXPECT_EQ(server.requestCount("/files/f"), 6u);
}
