// A batch held because an output folder went away (a drive unplugged, the
// folder removed) while it ran: as for a full disk, the batch pauses with one
// message naming the folder, and goes on at Resume once the folder is back,
// or once it could be made again where it was. Without widgets;
// user-interface thread only, except Present, which any thread may call.
#pragma once

#include <string>

class TOutputFolderHold {
public:
  // Whether Folder is there as a folder (a link to one counts).
  static bool Present(const std::string& Folder);
  // The batch holds for Folder. False when it holds already (for this folder
  // or another): one message per hold.
  bool Hold(const std::string& Folder);
  bool Holding() const { return !FFolder.empty(); }
  const std::string& Folder() const { return FFolder; }
  // Before the batch goes on: true (and the hold ends) when the folder is
  // back, or when it was made again because the folder it was in is there
  // and can take it (not the empty mount point of a drive that is not
  // plugged in); false while it is still missing. True when not holding.
  bool BringBack();
  // Ends the hold without a look (the batch ended).
  void Clear() { FFolder.clear(); }
  // The message of a hold: names the folder, says that the batch is paused
  // and what brings it back.
  static std::string GoneText(const std::string& Folder);

private:
  std::string FFolder;  // the folder the batch holds for; empty: no hold
};
