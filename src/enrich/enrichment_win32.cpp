#include "enrich/enrichment_win32.h"

Enrichment::Enrichment(const Options& options, ConversationTable& table) : options_(options), table_(table) {
  char exe[MAX_PATH] = "";
  GetModuleFileNameA(nullptr, exe, sizeof exe);
  exePath_ = exe;
}

Enrichment::~Enrichment() {
  table_.resolver = nullptr;
  table_.countries = nullptr;
  table_.processes = nullptr;
}

void Enrichment::Attach() {
  const std::string folder = exePath_.substr(0, exePath_.find_last_of('\\') + 1);
  if (countries_.LoadFromFolder(folder)) table_.countries = &countries_;
  resolver_ = std::make_unique<HostResolver>(table_, SystemHostLookup());
  table_.resolver = resolver_.get();
  table_.processes = &attributor_;
}

void Enrichment::CaptureStarting() {
  attributor_.ClearProcessCache();
  if (FirewallApplies(options_)) {
    Win32Firewall fw;
    AddToFirewall(fw, exePath_);
  }
}

void Enrichment::CaptureStopping() {
  if (FirewallApplies(options_)) {
    Win32Firewall fw;
    RemoveFromFirewall(fw, exePath_);
  }
}

bool Enrichment::Tick() {
  if (resolver_) resolver_->Deliver();
  bool changed = false;
  if (options_.ShowOnlyActiveConnections && ++ticks_ > 10) {
    ticks_ = 0;
    attributor_.Run(table_);
    changed = attributor_.changed;
  }
  return changed;
}
