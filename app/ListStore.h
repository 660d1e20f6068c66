// The queue list between two starts of the program: every row with its
// status, kept in $XDG_STATE_HOME/Vidlomat/list (default
// ~/.local/state/Vidlomat/list) and written again on every change of the
// list, so that a crash, a power cut or a kill loses nothing of it. No Qt:
// the window turns its rows into TStoredRow and back.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "BatchRun.h"

// One row as the list shows it. Paths and names are the bytes the system
// gave (they need not be UTF-8).
struct TStoredRow {
  TRowState State = TRowState::Listed;
  std::string Path;        // the input file
  std::string Base;        // Input Filename
  std::string Duration;    // Duration
  std::string Type;        // Type
  std::string OutputName;  // Output Filename
  // The folder the file was found in below a folder added, relative to it
  // ("2019/Summer"; "" for a file added on its own).
  std::string TreeFolder;
  bool operator==(const TStoredRow&) const = default;
};

// The file's text: a first line naming the format, one line per row (its
// state as a word, then the six fields, separated by tabs; bytes below 32
// and "%" written as %XX; a list without the last field, the tree folder, is
// read with none), and a last line "end" with the number of rows, so
// that a file cut short is told from a whole one.
std::string FormatList(const std::vector<TStoredRow>& Rows);
// What a damaged list lost: the lines between its first and its end line
// that are not whole rows, and the rows lost as its end line counts them
// (-1 when the end line is gone too: the file was cut short).
struct TListDamage {
  int BadLines = 0;
  int Lost = -1;
};
// Reads FormatList's text. False, with Error saying what is wrong, for a
// text that is not such a list in every detail; Rows then still holds every
// line that reads as a whole row (a list cut in half keeps its first half,
// one line of noise costs that line), and Damage what was lost. A text whose
// first line is not the list's and that holds no row is not a list at all.
bool ParseList(const std::string& Text, std::vector<TStoredRow>& Rows, std::string& Error,
               TListDamage* Damage = nullptr);

class TListStore {
public:
  explicit TListStore(std::string Path = DefaultPath());

  // $XDG_STATE_HOME/Vidlomat/list (~/.local/state when the variable is unset,
  // empty or not an absolute path).
  static std::string DefaultPath();
  const std::string& Path() const { return FPath; }

  // Writes the list in place of the file's old one, all or nothing: into a
  // temporary file beside it, flushed to the disk, then renamed over it (its
  // folder made when missing). Nothing is written when the text equals the
  // one this store wrote last. False, with Error, when it could not be written.
  bool Save(const std::vector<TStoredRow>& Rows, std::string& Error);
  // How many times Save wrote the file (and flushed it to the disk).
  int Writes() const { return FWrites.load(); }

  // The list as the last start left it. A row that was converting is waiting
  // again; a row whose file is gone reads "not found", except a completed one,
  // which stays completed (its output is there; sources are often deleted
  // once converted). Every other row keeps its status. No file: no rows, no
  // note. A damaged file gives every row that is still whole (ParseList); a
  // file that cannot be read gives none. Either is renamed to
  // list.damaged-<date and time> beside it, and Note says so for the log,
  // with how many rows came back and how many were lost.
  struct TLoaded {
    std::vector<TStoredRow> Rows;
    std::string Note;
    int Interrupted = 0;  // rows that were converting: the program was ended in a batch
  };
  TLoaded Load();

private:
  std::string FPath;
  std::string FLastText;  // what Save last wrote (or Load read)
  bool FKnown = false;    // FLastText is the file's text
  std::atomic<int> FWrites{0};  // written by the saving thread, read by any
};
