// A pseudo-terminal pair standing in for a serial line: the library opens
// the slave by its path, the test plays the scale on the master.
#pragma once

#include <string>

#include "raroredoziri/Bytes.h"

namespace rd::test {

class PtyPair {
 public:
  PtyPair();
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool Valid() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_path_; }
  int Master() const { return master_; }

  // Bytes to the library's side of the line.
  void Write(const Bytes& data);
  // Bytes the library wrote: until `count` came or `timeout_ms` passed.
  Bytes Read(std::size_t count, int timeout_ms);
  // True when the slave side was closed by everyone within `timeout_ms`.
  bool SeesSlaveClosed(int timeout_ms);
  void CloseMaster();

 private:
  int master_ = -1;
  std::string slave_path_;
};

}  // namespace rd::test
