// The "mqtt" section of the service's configuration: the broker and the
// Sparkplug ids under which the service's scales appear.
//
//   "mqtt": {"broker": "ssl://broker.chain.example:8883", "ca": "ca.pem",
//            "cert": "store.pem", "key": "store.key", "user": "store-0042",
//            "password": "...", "group": "store-0042", "node": "counter",
//            "client_id": "store-0042-counter", "primary_host": "head-office"}
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "MqttClient.h"

namespace rd::service {

struct EdgeOptions {
  sparkplug::MqttSettings mqtt;  // client_id defaults to raroredoziri-GROUP-NODE
  std::string group;             // Sparkplug group id (e.g. the store)
  std::string node;              // edge node id (this service)
  // When set, births wait until this host application's STATE says online,
  // and the node dies (NDEATH) while it says offline.
  std::string primary_host;
};

// Reads the section; false with the reason.
bool ApplyEdgeConfig(const nlohmann::json& section, EdgeOptions& options, std::string& message);

}  // namespace rd::service
