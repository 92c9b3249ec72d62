// Reading the .npy arrays the Python side of the benchmarks writes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace tarnix_bench {

// A C-ordered .npy array of float32 or int64 (the only two the Python side writes).
struct Npy {
  std::vector<char> bytes;
  std::vector<size_t> shape;
  std::string descr;
  template <class T>
  const T* as() const {
    return reinterpret_cast<const T*>(bytes.data());
  }
};

inline Npy load_npy(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::cerr << "cannot open " << path << "\n";
    std::exit(2);
  }
  char magic[8];
  in.read(magic, 8);
  uint32_t header_len = 0;
  if (magic[6] == 1) {
    uint16_t h;
    in.read(reinterpret_cast<char*>(&h), 2);
    header_len = h;
  } else {
    in.read(reinterpret_cast<char*>(&header_len), 4);
  }
  std::string header(header_len, '\0');
  in.read(header.data(), header_len);
  Npy out;
  auto d = header.find("'descr': '");
  out.descr = header.substr(d + 10, header.find('\'', d + 10) - d - 10);
  if (header.find("'fortran_order': True") != std::string::npos) {
    std::cerr << path << ": Fortran order is not supported\n";
    std::exit(2);
  }
  auto s = header.find("'shape': (");
  std::string dims = header.substr(s + 10, header.find(')', s) - s - 10);
  std::stringstream ss(dims);
  std::string tok;
  size_t total = 1;
  while (std::getline(ss, tok, ',')) {
    if (tok.find_first_not_of(' ') == std::string::npos) continue;
    out.shape.push_back(std::stoull(tok));
    total *= out.shape.back();
  }
  size_t item = out.descr == "<f4" ? 4 : out.descr == "<i8" ? 8 : 0;
  if (!item) {
    std::cerr << path << ": unsupported dtype " << out.descr << "\n";
    std::exit(2);
  }
  out.bytes.resize(total * item);
  in.read(out.bytes.data(), static_cast<std::streamsize>(out.bytes.size()));
  return out;
}

// A float32 array of shape (rows, cols), as the query files are.
inline std::vector<float> load_f32(const std::string& path, size_t* rows, size_t* cols) {
  Npy a = load_npy(path);
  if (a.descr != "<f4" || a.shape.size() != 2) {
    std::cerr << path << ": expected a two-dimensional float32 array\n";
    std::exit(2);
  }
  *rows = a.shape[0];
  *cols = a.shape[1];
  return std::vector<float>(a.as<float>(), a.as<float>() + *rows * *cols);
}

}  // namespace tarnix_bench
