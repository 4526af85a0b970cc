// Reads a matrix from a .npy file (2-D, float32, C order: what `bench/real_data.py
// --save-npy DIR` writes), so that the C++ benchmarks run on real data as well as on
// their generated data. A file of any other kind stops the program with a message.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace plovek_bench {

struct NpyMatrix {
  std::size_t rows = 0, cols = 0;
  std::vector<float> values;  // row-major
};

[[noreturn]] inline void refuse_npy(const char* path, const char* why) {
  std::fprintf(stderr, "%s: %s (expected a 2-D float32 C-order .npy file)\n", path, why);
  std::exit(2);
}

// The two extents of a header's `'shape': (rows, cols)`.
inline bool parse_npy_shape(const std::string& header, std::size_t& rows, std::size_t& cols) {
  const std::size_t key = header.find("'shape':");
  if (key == std::string::npos) return false;
  unsigned long long r = 0, c = 0;
  char close = 0;
  if (std::sscanf(header.c_str() + key, "'shape': (%llu, %llu %c", &r, &c, &close) != 3 || close != ')') return false;
  rows = static_cast<std::size_t>(r);
  cols = static_cast<std::size_t>(c);
  return true;
}

inline NpyMatrix read_npy_matrix(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) refuse_npy(path, "cannot open");
  unsigned char preamble[10];
  if (std::fread(preamble, 1, sizeof preamble, file) != sizeof preamble ||
      std::string(reinterpret_cast<char*>(preamble), 6) != "\x93NUMPY")
    refuse_npy(path, "not a .npy file");
  // Version 1 gives the header's length in 2 bytes, versions 2 and 3 in 4.
  std::size_t header_length = preamble[8] | (std::size_t(preamble[9]) << 8);
  if (preamble[6] >= 2) {
    unsigned char high[2];
    if (std::fread(high, 1, 2, file) != 2) refuse_npy(path, "truncated header");
    header_length |= (std::size_t(high[0]) << 16) | (std::size_t(high[1]) << 24);
  }
  std::string header(header_length, '\0');
  if (std::fread(header.data(), 1, header_length, file) != header_length) refuse_npy(path, "truncated header");
  NpyMatrix matrix;
  if (header.find("'descr': '<f4'") == std::string::npos) refuse_npy(path, "not little-endian float32");
  if (header.find("'fortran_order': False") == std::string::npos) refuse_npy(path, "not in C order");
  if (!parse_npy_shape(header, matrix.rows, matrix.cols) || matrix.rows == 0 || matrix.cols == 0)
    refuse_npy(path, "not a non-empty 2-D matrix");
  matrix.values.resize(matrix.rows * matrix.cols);
  if (std::fread(matrix.values.data(), sizeof(float), matrix.values.size(), file) != matrix.values.size())
    refuse_npy(path, "fewer values than its shape");
  std::fclose(file);
  return matrix;
}

// The matrix a benchmark runs on: the .npy file named after "--data" (argv[1], argv[2]),
// or generate(rows, cols) for "n d" there.
template <class Generate>
NpyMatrix matrix_from_arguments(char** argv, Generate generate) {
  if (std::string(argv[1]) == "--data") return read_npy_matrix(argv[2]);
  NpyMatrix matrix;
  matrix.rows = std::strtoull(argv[1], nullptr, 10);
  matrix.cols = std::strtoull(argv[2], nullptr, 10);
  matrix.values = generate(matrix.rows, matrix.cols);
  return matrix;
}

}  // namespace plovek_bench
