// EdgeNode: the service as a Sparkplug B edge node. Each scale is a device
// of the node. On every MQTT session the node publishes NBIRTH (with the
// session's bdSeq, whose NDEATH is the session's will, and the names of all
// its scales, live or not, in the Scales metric) and a DBIRTH for each
// scale that is connecting or connected; then a DDATA whenever a scale's
// snapshot changes (value, stability or state), a DDEATH when a scale is
// lost and a DBIRTH when it comes back. "Node Control/Rebirth" in an NCMD,
// and a host application that comes online (its STATE), bring all births
// again. Each DCMD is checked and run on its scale's thread (one per scale,
// so scales answer side by side) and answered by exactly one message: a
// DDATA of the scale, or an NDATA naming the scale when the scale is not a
// live device (lost, or not one of the node's).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "EdgeOptions.h"
#include "ScaleMonitor.h"

namespace rd::service {

class EdgeNode {
 public:
  // Watches the monitors (before they start); they must outlive the node.
  EdgeNode(EdgeOptions options, const std::vector<ScaleMonitor*>& monitors, LogLine log);
  ~EdgeNode();
  EdgeNode(const EdgeNode&) = delete;
  EdgeNode& operator=(const EdgeNode&) = delete;

  // Starts the scales' threads and connecting; false for settings that can
  // never work. A broker that is away is tried again.
  bool Start(std::string& error);
  // Publishes NDEATH, disconnects and ends the threads (after the command
  // each may be running).
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rd::service
