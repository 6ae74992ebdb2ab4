// The least a carve of an image can cost on this machine: the image split
// into as many files as the carve wrote takes, with nothing decided on the
// way. bench/strip-vs-copy times it beside cp and discsift.
//
//   take-floor IMAGE OUT-DIR FILES write
//       reads the image about 1 MiB at a time at its position (pread), as
//       the carve does, and writes it out in FILES files of equal length:
//       the output a carve must write, from one read of the image.
//   take-floor IMAGE OUT-DIR FILES search
//       the same, and every byte is searched once for the image's signature
//       (its first six bytes after any leading zeros) just before it is
//       written: the least work that finds where takes end.
//
// Prints the number of signatures found (those within one step), so that
// the search cannot be left out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace {

// Bytes read, searched and written at a time: a little under 1 MiB, so that
// the writes land at file offsets that are not whole pages, as the carve's
// do (a take's data starts at any byte, and each view keeps the last bytes
// of the one before). Page-aligned 1 MiB writes made every other run about
// five times slower on a virtual machine, nearly all of it in the kernel's
// copy into the new file's pages, which the carve's writes never showed.
constexpr size_t kStep = (1u << 20) - 5;

alignas(4096) unsigned char buffer[1u << 20];

// Occurrences of sig that begin in p[0..n): the bytes equal to its first
// and second byte are found 16 or 32 at a time, and only where both match
// is the whole signature compared.
size_t CountSignatures(const unsigned char* p, size_t n, const std::string& sig);

size_t CountTail(const unsigned char* p, size_t i, size_t n, const std::string& sig) {
  size_t count = 0;
  for (; i + sig.size() <= n; i++) count += std::memcmp(p + i, sig.data(), sig.size()) == 0;
  return count;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx2"))) size_t CountAvx2(const unsigned char* p, size_t n, const std::string& sig) {
  const size_t len = sig.size();
  size_t count = 0, i = 0;
  const __m256i first = _mm256_set1_epi8(sig[0]);
  const __m256i second = _mm256_set1_epi8(sig[1]);
  for (; i + 32 + len <= n; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 1));
    unsigned mask = static_cast<unsigned>(
        _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, second))));
    while (mask != 0) {
      const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      mask &= mask - 1;
      count += std::memcmp(p + i + k, sig.data(), len) == 0;
    }
  }
  return count + CountTail(p, i, n, sig);
}
#endif

size_t CountSignatures(const unsigned char* p, size_t n, const std::string& sig) {
#if defined(__x86_64__) || defined(__i386__)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return CountAvx2(p, n, sig);
#endif
  const size_t len = sig.size();
  size_t count = 0, i = 0;
#if defined(__SSE2__)
  const __m128i first = _mm_set1_epi8(sig[0]);
  const __m128i second = _mm_set1_epi8(sig[1]);
  for (; i + 16 + len <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    unsigned mask = static_cast<unsigned>(
        _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, second))));
    while (mask != 0) {
      const unsigned k = static_cast<unsigned>(__builtin_ctz(mask));
      mask &= mask - 1;
      count += std::memcmp(p + i + k, sig.data(), len) == 0;
    }
  }
#endif
  return count + CountTail(p, i, n, sig);
}

[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 || (std::strcmp(argv[4], "write") != 0 && std::strcmp(argv[4], "search") != 0)) {
    std::fprintf(stderr, "usage: take-floor IMAGE OUT-DIR FILES write|search\n");
    return 2;
  }
  const std::string out_dir = argv[2];
  const size_t files = std::strtoul(argv[3], nullptr, 10);
  const bool search = std::strcmp(argv[4], "search") == 0;
  if (files == 0) {
    std::fprintf(stderr, "take-floor: FILES must be at least 1\n");
    return 2;
  }

  const int in = open(argv[1], O_RDONLY);
  if (in < 0) Fail(argv[1]);
  struct stat st;
  if (fstat(in, &st) != 0) Fail(argv[1]);
  const size_t size = static_cast<size_t>(st.st_size);
  const size_t per_file = size / files;

  std::string sig;
  if (search) {
    FILE* f = std::fopen(argv[1], "rb");
    if (f == nullptr) Fail(argv[1]);
    int c;
    while ((c = std::fgetc(f)) == 0) {
    }
    while (c != EOF && sig.size() < 6) {
      sig.push_back(static_cast<char>(c));
      c = std::fgetc(f);
    }
    std::fclose(f);
    if (sig.size() < 6) {
      std::fprintf(stderr, "take-floor: %s holds no signature\n", argv[1]);
      return 2;
    }
  }

  size_t found = 0, file = 0;
  int out = -1;
  size_t file_end = 0;
  for (size_t pos = 0; pos < size;) {
    if (out < 0 || pos >= file_end) {
      if (out >= 0 && close(out) != 0) Fail("close");
      const std::string name = out_dir + "/" + std::to_string(file);
      out = open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (out < 0) Fail(name.c_str());
      file_end = ++file == files ? size : file * per_file;
    }
    size_t want = kStep < file_end - pos ? kStep : file_end - pos;
    const ssize_t n = pread(in, buffer, want, static_cast<off_t>(pos));
    if (n <= 0) Fail("pread");
    const size_t got = static_cast<size_t>(n);
    if (search) found += CountSignatures(buffer, got, sig);
    if (write(out, buffer, got) != n) Fail("write");
    pos += got;
  }
  if (out >= 0 && close(out) != 0) Fail("close");
  close(in);
  std::printf("%zu files, %zu signatures\n", file, found);
  return 0;
}
