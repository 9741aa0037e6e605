// The enrichment services of the main window: process attribution, reverse
// lookups, country data and the firewall entry, hooked to its table.
#pragma once
#include <memory>
#include <string>

#include "base/options.h"
#include "capture/conversation_table.h"
#include "enrich/country_data.h"
#include "enrich/firewall_win32.h"
#include "enrich/process_attribution.h"
#include "enrich/resolver.h"
#include "enrich/system_tables_win32.h"

class Enrichment {
 public:
  Enrichment(const Options& options, ConversationTable& table);
  ~Enrichment();
  // Loads the country data next to the executable and sets the table's hooks.
  void Attach();
  void CaptureStarting();  // clears the process cache; firewall entry
  void CaptureStopping();  // firewall entry out
  // The 100 ms timer: names that arrived, and every eleventh tick with only
  // active connections shown, an attribution pass. True when rows changed.
  bool Tick();
  const ProcessTable* processes() const { return &attributor_; }

 private:
  const Options& options_;
  ConversationTable& table_;
  Win32SystemTables system_;
  ProcessAttributor attributor_{options_, system_};
  CountryData countries_;
  std::unique_ptr<HostResolver> resolver_;
  std::string exePath_;
  int ticks_ = 0;
};
