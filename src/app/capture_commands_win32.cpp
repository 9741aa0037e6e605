// Starting, stopping, suspending and restarting a capture.
#include "app/main_window_win32.h"

#include "base/strings.h"
#include "enrich/enrichment_win32.h"
#include "resource.h"

void MainWindow::PacketCountChanged() { PostMessageA(hwnd_, WM_PK_PACKET_COUNT, 0, 0); }

void MainWindow::PacketFileWriteFailed() { PostMessageA(hwnd_, WM_PK_WRITE_ERROR, 0, 0); }

void MainWindow::StartCapture() {
  if (engine_.running) {
    UpdateMenuState();
    return;
  }
  CaptureAdapter adapter;
  if (!ResolveCaptureAdapter(hwnd_, options_, adapters_, &adapter)) {
    UpdateMenuState();
    return;
  }
  ClearList();
  table_.Clear();
  table_.foreign = false;
  if (enrich_) enrich_->CaptureStarting();
  SetWindowTextA(lower_, "");
  table_.local.v4 = adapter.address;
  file_.headerAddress = adapter.address;
  // Taken now, so that the file holds what this capture's directions used.
  table_.local.v6.clear();
  if (options_.CaptureIPv6) table_.local.v6 = AdapterIPv6Addresses(adapter, kMaxHeaderIPv6);
  file_.headerAddresses6 = table_.local.v6;
  adapter.promiscuous = options_.PromiscuousMode;
  adapter.ipv6 = options_.CaptureIPv6 != 0;
  engine_.ResetCounters();
  SetStatus(GetString(17));
  file_.ResetFile(true);
  bool ok = false;
  const bool fileOk = file_.CreateForWriting();
  if (fileOk) ok = methods_->Start(adapter);
  if (ok) {
    options_.captureActive = 1;
  } else {
    MessageBoxA(hwnd_, GetString(fileOk ? 9 : 16), kTitle, MB_ICONWARNING);
    file_.CloseWriting();
    UpdateStatus();  // no longer "Capturing Packets..."
  }
  UpdateMenuState();
}

void MainWindow::StopCapture() {
  if (enrich_) enrich_->CaptureStopping();
  UpdateMenuState();
  file_.CloseWriting();
  methods_->Stop();
  options_.captureActive = 0;
  if (!options_.LiveMode) {
    ReloadFromFile();
  } else {
    RefreshRows(true);
    SortList();  // rows joined at the end while counting; now they take their places
    if (table_.resolver) table_.resolver->AbandonPending();
    table_.QueueNameLookups();
    RefreshLowerPane();
  }
  UpdateMenuState();
  UpdateStatus();
}

void MainWindow::RestartCapture() {
  file_.CloseWriting();
  methods_->Stop();
  PostMessageA(hwnd_, WM_PK_START_CAPTURE, 0, 0);
}

void MainWindow::ToggleCaptureActive() {
  if (!engine_.running) return;
  options_.captureActive = 1 - options_.captureActive;
  UpdateMenuState();
  SetStatus(GetString(options_.captureActive ? 29 : 28));
}

void MainWindow::Leave() {
  if (engine_.running) {
    if (MessageBoxA(hwnd_, GetString(20), kTitle, MB_ICONQUESTION | MB_YESNO) != IDYES) return;
    exiting_ = true;
    file_.CloseWriting();
    methods_->Stop();
    options_.captureActive = 0;
    UpdateMenuState();
    SetTimer(hwnd_, TIMER_EXIT, 700, nullptr);
    return;
  }
  DestroyWindow(hwnd_);
}
