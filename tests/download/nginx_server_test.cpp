// The nginx fixture itself: both listeners answer, the publisher's cache headers are sent,
// and the access log lists the requests in order.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/process.h"
#include "tests/support/servers.h"
#include "tests/support/temp_folder.h"

TEST(NginxServer, ServesTheTreeWithCacheHeadersOverHttpAndHttps) {
  TempFolder root;
  std::filesystem::create_directories(root.path() / "linux/files");
  std::ofstream(root.path() / "linux/latest.manifest") << "manifest\n";
  std::ofstream(root.path() / "linux/files/ab12") << "file bytes";
  NginxServer server(root.path());

  ProcessResult manifest = runProcess({"curl", "-sS", "-i", server.httpUrl() + "linux/latest.manifest"});
  EXPECT_NE(manifest.output.find("HTTP/1.1 200"), std::string::npos) << manifest.output;
  EXPECT_NE(manifest.output.find("Cache-Control: no-cache\r\n"), std::string::npos) << manifest.output;

  // HTTP/1.1, whose header names keep their case (HTTP/2, which the HTTPS port also offers, lower-cases them).
  ProcessResult file = runProcess({"curl", "-sS", "-i", "--http1.1", "--cacert", testCertificates().caCertificate.string(),
                                   server.httpsUrl() + "linux/files/ab12"});
  EXPECT_NE(file.output.find("Cache-Control: public, max-age=31536000, immutable\r\n"), std::string::npos)
      << file.output;
  EXPECT_NE(file.output.find("\r\n\r\nfile bytes"), std::string::npos) << file.output;

  ProcessResult missing = runProcess({"curl", "-sS", "-o", "/dev/null", "-w", "%{http_code}",
                                      server.httpUrl() + "linux/files/cd34"});
  EXPECT_EQ(missing.output, "404");

  EXPECT_EQ(server.requestedPaths(),
            (std::vector<std::string>{"/linux/latest.manifest", "/linux/files/ab12", "/linux/files/cd34"}));
}
