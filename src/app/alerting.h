// The alerts of section [alerts] joined to the running daemon: every sensor's
// device lines feed them, the web port serves them (/alerts.json, the status
// page, the metric families) and the MQTT publisher announces them. Called on
// the start-up thread; the alerts live on in what they gave the others.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "alertconfig.h"
#include "config.h"

class AlertService;
class MqttPublisher;
class SensorManager;
class WebPort;

// Sets up the alerts of config for the sensors of the registry (entries: the
// keys of [sensors], whose order gives each device's first name), keeping
// their states in stateDir (empty: not kept), and starts judging them. Call
// after every sensor is named and the publisher (mqtt, null without [mqtt]) is
// set up, before the reader threads, the publisher and the web port start.
// The notify program runs once startNotifier() is called on the result;
// stop() ends it and writes the state file (the alerts are still served).
std::shared_ptr<AlertService> startAlerts(const AlertConfig& config,
                                          const std::vector<SensorEntry>& entries,
                                          SensorManager& sensors, const std::string& stateDir,
                                          WebPort& web, MqttPublisher* mqtt);
