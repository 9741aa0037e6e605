// The main window: the conversation list, the lower pane, toolbar, status
// bar, splitter and tray icon, and the commands that drive a capture.
#pragma once
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>

#include <memory>
#include <string>
#include <vector>

#include "app/list_tools.h"
#include "base/options.h"
#include "base/window_win32.h"
#include "capture/adapters_win32.h"
#include "capture/capture_engine.h"
#include "capture/conversation_table.h"
#include "capture/packet_sniffer_win32.h"
#include "packetfile/packet_file.h"

// The caption of the window and of its message boxes.
inline constexpr char kTitle[] = "Pakrill";

class Enrichment;
class ProcessTable;

// "Error %d: %s" with the system's text for the code (network codes from
// their own table), in the box the file commands show.
void ShowSystemError(HWND owner, DWORD code);

class MainWindow : public Window, public StatusNotifier, public MessageFilter {
 public:
  explicit MainWindow(const std::vector<std::string>& args);
  ~MainWindow() override;
  bool CreateMainWindow(HINSTANCE instance, HACCEL accelerators);
  HACCEL accelerators() const { return accel_; }

  // MessageFilter: accelerators, then the Find dialog's keys, then the
  // dialog keys of the main window's own controls.
  bool PreTranslate(MSG* m) override;

  // StatusNotifier: the engine's packet count changed.
  void PacketCountChanged() override;
  void PacketFileWriteFailed() override;

  // SW_SHOWMAXIMIZED when the window was closed maximised.
  int InitialShowCommand() const;

 protected:
  bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) override;

 private:
  void OnCreate();
  void OnCommand(int id);
  LRESULT OnNotify(NMHDR* hdr);
  void OnTimer(UINT_PTR id);
  void OnDestroy();

  // Capture control.
  void StartCapture();
  void StopCapture();
  void RestartCapture();
  void ToggleCaptureActive();
  void Leave();

  // The list.
  void CreateColumns();
  void ApplyListStyles();
  void ClearList();
  void ClearListSelection();
  void SetAllRowsState(UINT state, UINT mask);
  void FreezeList(bool frozen);
  void RefreshRows(bool all);
  void ReloadFromFile();
  void SelectAll(bool on);
  void MoveSelection(int delta);
  void CopySelection();
  std::vector<int> ExportColumns() const;
  // File commands (file_commands_win32.cpp). LoadPacketFile reads any
  // capture file by its content, with progress.
  void LoadPacketFile(const char* path);
  void LoadPacketData();
  void SavePacketData();
  void SaveSummaries();
  void SaveConfiguration();
  void LoadConfiguration();
  void StoreLayoutInOptions();
  void ApplyColumnLayout();
  // Stops, deletes the temporary files and writes the settings, once.
  void EndOfSession();
  friend class FileProgress;
  void RefreshLowerPane();
  // Conversation indices of the selected rows, first row first.
  std::vector<size_t> SelectedRows() const;
  // The conversation at a list position; SIZE_MAX when there is none.
  size_t RowConversation(int position) const {
    return position >= 0 && size_t(position) < rows_.size() ? rows_[size_t(position)] : SIZE_MAX;
  }
  // Selects the rows of these conversations, and focuses `focused`'s, wherever they now stand.
  void SelectConversations(const std::vector<size_t>& conversations, size_t focused);
  LRESULT FindRowByPrefix(const NMLVFINDITEMA* find);
  std::vector<const Conversation*> SelectedConversationsLastFirst();
  void ExportStreams();
  void HtmlReport();
  void ExtractHttpFiles();
  bool WriteStreams(const std::string& path, int format);

  // Find: mode 1 searches the lower pane, mode 2 the rows.
  void OpenFind(int mode);
  void OnFindMessage(const FINDREPLACEA& fr);
  void FindInPane(const char* text, DWORD flags);
  void FindInRows(const char* text, DWORD flags);

  // Layout, menus, status.
  void Layout();
  void UpdateMenuState();
  void UpdateStatus();
  void SetStatus(const char* text);
  void ShowTray(bool on);
  // The stored window place, when it is sane and on a screen.
  bool StoredPlacement(WINDOWPLACEMENT* wp) const;
  void ApplyWindowPlacement();
  bool OverSplitter(int y) const;
  void DrawSplitBar(int y);

  std::vector<std::string> args_;
  Options options_;
  PacketFile file_;
  ConversationTable table_{options_, &file_};
  CaptureEngine engine_{options_, table_, file_};
  std::unique_ptr<CaptureMethods> methods_;
  AdapterList adapters_;
  // The list holds no rows of its own (a row of a list control costs about
  // a kilobyte, too much for millions in a 32-bit process): rows_ gives the
  // conversation of each list position, hasRow_ marks the listed ones.
  std::vector<uint32_t> rows_;
  std::vector<uint8_t> hasRow_;  // by conversation index
  std::string configPath_;
  std::string reportPath_;

  HINSTANCE instance_ = nullptr;
  HACCEL accel_ = nullptr;
  HMENU menu_ = nullptr, contextMenu_ = nullptr, trayMenu_ = nullptr;
  HWND toolbar_ = nullptr, status_ = nullptr, list_ = nullptr, lower_ = nullptr;
  HIMAGELIST toolbarImages_ = nullptr;
  HICON smallIcon_ = nullptr;
  bool trayShown_ = false;
  bool selectionPending_ = false;
  bool exiting_ = false;
  HWND savedFocus_ = nullptr;
  int splitY_ = 0;          // top of the splitter bar, client pixels
  bool dragging_ = false;
  int dragY_ = -1;
  int activeTicks_ = 0;
  UINT findMessage_ = 0;
  HWND findDialog_ = nullptr;
  FINDREPLACEA find_{};
  char findText_[256] = "";
  int findMode_ = 1;
  bool importing_ = false;
  bool importCancel_ = false;
  bool sessionEnded_ = false;
  bool sessionEndPending_ = false;  // the session ended during an import
  // Last: it holds hooks into table_ and goes first.
  std::unique_ptr<Enrichment> enrich_;
  // The context of every column text the window shows or writes: the
  // process columns need the process table.
  ColumnContext TextContext() const;

  // List tools (list_tools_win32.cpp).
  void OnColumnClick(int column);
  void SortList();
  void ShowSortArrow();
  void ShowProperties();
  ColumnLayout ReadLayout() const;
  void ApplyLayout(const ColumnLayout& layout);
  void ChooseColumns();
  void ApplyProcessColumns();
  void FindHandOffTool();
  bool HandOffAvailable() const;
  void HandOff();
  void OpenPaneMenu(int x, int y);
  SortKeys sort_;
  bool sorting_ = false;
  std::string toolPath_;
  std::string handOffText_;  // read by the tool; valid until the next hand-off
};
