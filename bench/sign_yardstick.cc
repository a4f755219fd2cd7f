// Yardstick for the signed dump writer: the least work its path can do.
// Reads standard input (a pipe) in 64 KiB blocks, feeds libcrypto's SHA-1
// and writes the bytes to a file; prints the hexadecimal digest.
//
//   writer | sign_yardstick OUTPUT
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: sign_yardstick OUTPUT < stream\n");
    return 2;
  }
  const int out = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    std::perror(argv[1]);
    return 1;
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
  static char buf[65536];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
      std::perror("read");
      return 1;
    }
    if (n == 0) break;
    EVP_DigestUpdate(ctx, buf, static_cast<size_t>(n));
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
      if (w <= 0) {
        std::perror("write");
        return 1;
      }
      done += w;
    }
  }
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  for (unsigned int i = 0; i < len; ++i) std::printf("%02x", md[i]);
  std::printf("\n");
  return close(out) == 0 ? 0 : 1;
}
