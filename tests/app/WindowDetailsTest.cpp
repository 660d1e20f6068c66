// The window's details a user relies on without thinking: typed values, file
// names, the filter lists, the output names shown, the progress texts.
#include <QApplication>
#include <QCoreApplication>
#include <QImage>
#include <QCheckBox>
#include <QDir>
#include <QDropEvent>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QStyleOptionViewItem>
#include <QScrollBar>
#include <QToolButton>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QFile>
#include <QMimeDatabase>
#include <QLineEdit>
#include <QSettings>
#include <QSpinBox>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "FolderScan.h"
#include "AboutForm.h"
#include "OutputSettings.h"
#include "QueueList.h"
#include "SettingsFile.h"
#include "MyUtils.h"
#include "WindowTestSupport.h"

namespace {

TEST_F(WindowTest, TypedBitratesOutsideTheRangeGoToTheNearestLimit) {
  TForm1& f = MakeForm();
  QSpinBox* video = f.GBOutput->SpinVideo;
  QSpinBox* audio = f.GBOutput->SpinAudio;
  const struct {
    QSpinBox* Spin;
    const char* Typed;
    int Value;
  } cases[] = {{video, "5000", 1500}, {video, "1501", 1500}, {video, "600", 600},  {video, "50", 128},
               {video, "0", 128},     {video, "9x00", 900},  {audio, "200", 160},  {audio, "20", 32},
               {audio, "96", 96},     {audio, "1234567890123", 160}};
  for (const auto& c : cases) {
    c.Spin->selectAll();
    QTest::keyClicks(c.Spin, c.Typed);
    TBatchSettings s;
    f.GBOutput->Fill(s);  // what the set-up reads
    EXPECT_EQ(c.Spin == video ? s.VideoKbps : s.AudioKbps, c.Value) << c.Typed;
    EXPECT_EQ(c.Spin->text(), QString::number(c.Value)) << c.Typed;
  }
}

TEST_F(WindowTest, ATildeInTheStoredOutputPathIsTheHomeFolder) {
  const QString home = QDir::homePath();
  const std::pair<const char*, QString> cases[] = {{"~/Videos/out", home + "/Videos/out/"},
                                                   {"~", home + "/"},
                                                   {"~/", home + "/"},
                                                   {"/srv/~/x/", "/srv/~/x/"},
                                                   {"~x/y", "~x/y/"}};
  for (const auto& [stored, shown] : cases) {
    QSettings ini(SettingsPath(), QSettings::IniFormat);
    ini.setValue("Options/OutputPath", stored);
    ini.sync();
    EXPECT_EQ(TSettingsFile().Read().OutputPath, shown) << stored;
  }
  QSettings(SettingsPath(), QSettings::IniFormat).setValue("Options/OutputPath", "~/Videos");
  EXPECT_EQ(MakeForm().EdtOutputFolder->text(), home + "/Videos/");
}

// The filter's entries as (description, patterns) pairs.
std::vector<std::pair<QString, QString>> FilterEntries(const QString& Filter) {
  const QStringList parts = Filter.split('|');
  std::vector<std::pair<QString, QString>> entries;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) entries.emplace_back(parts[i], parts[i + 1]);
  return entries;
}

const char* const kTodaysPatterns = "*.mp4;*.m4v;*.mkv;*.webm;*.3gp;*.3g2;*.ts;*.mts;*.m2ts;*.flv;*.ogv;*.vob;*.mxf";

TEST(AddFilterTest, DesignedEntriesStayAndTodaysFormatsJoin) {
  const auto entries = FilterEntries(kAddDialogFilter);
  const std::pair<QString, QString> designed[] = {
      {"All supported Media Format",
       QString("*.avi;*.divX;*.div;*.xvid;*.mpeg;*.mpg;*.wmv;*.asf;*.rm;*.rmvb;*.dat;*.mov;*.swf;") + kTodaysPatterns},
      {"AVI(*.avi)", "*.avi"},        {"DivX(*.divx;*.div)", "*.divx;*.div"}, {"Xvid(*.xvid)", "*.xvid"},
      {"MPEG(*.mpeg;*.mpg)", "*.mpeg;*.mpg"}, {"WMV(*.wmv)", "*.wmv"},       {"ASF(*.asf)", "*.asf"},
      {"Real Video(*.rm;*.rmvb)", "*.rm;*.rmvb"}, {"VCD Format(*.dat)", "*.dat"},
      {"Quick Time Format(*.mov)", "*.mov"},       {"SWF(*.swf)", "*.swf"}};
  ASSERT_GT(entries.size(), std::size(designed) + 1);
  for (size_t i = 0; i < std::size(designed); ++i) EXPECT_EQ(entries[i], designed[i]) << i;
  EXPECT_EQ(entries.back(), (std::pair<QString, QString>{"All Files(*.*)", "*.*"}));
  // Every one of today's extensions has an entry of its own after the designed
  // ones, and each such entry names its patterns.
  QStringList own;
  for (size_t i = std::size(designed); i + 1 < entries.size(); ++i) {
    EXPECT_TRUE(entries[i].first.endsWith("(" + entries[i].second + ")")) << entries[i].first.toStdString();
    own += entries[i].second.split(';');
  }
  EXPECT_EQ(own, QString(kTodaysPatterns).split(';'));
  // The first entry is the one list of video extensions that folders are
  // searched with too.
  std::vector<std::string> first;
  for (const QString& pattern : entries[0].second.split(';')) first.push_back(pattern.mid(2).toLower().toStdString());
  EXPECT_EQ(first, VideoExtensions());

  // In the dialog "All Files" also shows a file without an extension.
  const QStringList qt = QtNameFilters(kAddDialogFilter);
  EXPECT_EQ(qt.back(), "All Files (*)");
  EXPECT_EQ(qt[1], "AVI (*.avi)");
  for (const char* name : {"README", "clip.mkv", ".hidden"})
    EXPECT_TRUE(QDir::match(QStringList{"*"}, name)) << name;
}

TEST(AddFilterTest, TheDesktopEntryOpensEveryFormatTheFilterLists) {
  QFile entry(VIDLOMAT_DESKTOP_ENTRY);
  ASSERT_TRUE(entry.open(QIODevice::ReadOnly | QIODevice::Text));
  QStringList types;
  for (const QString& line : QString::fromUtf8(entry.readAll()).split('\n'))
    if (line.startsWith("MimeType=")) types = line.mid(9).split(';', Qt::SkipEmptyParts);
  ASSERT_FALSE(types.isEmpty());
  const QMimeDatabase db;
  for (const QString& pattern : FilterEntries(kAddDialogFilter)[0].second.split(';')) {
    // The types the desktop gives a file of that name (".ts" is also a
    // translation file); the entry must claim one of them.
    QStringList known;
    for (const QMimeType& t : db.mimeTypesForFileName("clip" + pattern.mid(1).toLower()))
      if (!t.isDefault()) known << t.name() << t.aliases();
    if (known.isEmpty()) continue;  // no registered type (.div, .xvid, .dat)
    EXPECT_TRUE(std::any_of(known.begin(), known.end(), [&](const QString& t) { return types.contains(t); }))
        << pattern.toStdString() << ": none of " << known.join(",").toStdString();
  }
}

TEST_F(WindowTest, ADroppedFolderGivesTodaysVideosToo) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  const std::string folder = Dir / "phone";
  std::filesystem::create_directories(folder);
  const std::string clip = Clip("mov_mpeg4_aac", "x.mov");
  for (const char* name : {"d.3gp", "a.mp4", "b.MKV", "c.m2ts", "notes.txt", "README"})
    std::filesystem::copy_file(clip, folder + "/" + name);
  EXPECT_TRUE(f.DropFiles({folder}));
  QStringList rows;
  for (int r = 0; r < f.Lvw->RowCount(); ++r)
    rows << f.Lvw->Cell(r, TQueueList::ColInput) + "." + f.Lvw->Cell(r, TQueueList::ColType);
  EXPECT_EQ(rows.join(","), "a.MP4,b.MKV,c.M2TS,d.3GP");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  EXPECT_EQ(Dialogs.Messages[0].Text, "4 files added.");
}

TEST_F(WindowTest, WhatNoProgramCanOpenIsShownToBeCopied) {
  TForm1& f = MakeForm(false, false);
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  TFrmAbout about(Dialogs, &f);
  const struct {
    std::function<void()> Click;
    QString Shown;
  } cases[] = {{[&] { f.BtnHelpClick(); }, QCoreApplication::applicationDirPath() + "/help/index.html"},
               {[&] { f.BtnOpenOutputFolderClick(); }, QString::fromStdString(Dir / "out") + "/"},
               {[&] { about.LblWebsiteClick(); }, ProductWebsite()},
               {[&] { about.LblEmailClick(); }, SupportEmail()}};
  for (const bool opens : {true, false}) {
    Dialogs.UrlsOpen = opens;
    for (const auto& c : cases) {
      Dialogs.Messages.clear();
      c.Click();
      if (opens) {
        EXPECT_TRUE(Dialogs.Messages.empty()) << c.Shown.toStdString();
        continue;
      }
      ASSERT_EQ(Dialogs.Messages.size(), 1u) << c.Shown.toStdString();
      EXPECT_TRUE(Dialogs.Messages[0].Text.endsWith("\n\n" + c.Shown)) << Dialogs.Messages[0].Text.toStdString();
      EXPECT_TRUE(Dialogs.Messages[0].Text.startsWith("No ")) << Dialogs.Messages[0].Text.toStdString();
    }
  }
  EXPECT_EQ(Dialogs.Urls.size(), 8u);
}

TEST_F(WindowTest, TheOutputNameShownIsTheOneTheNextRunWrites) {
  TForm1& f = MakeForm();
  const QString out = QString::fromStdString(Dir / "out") + "/", empty = QString::fromStdString(Dir / "empty") + "/";
  for (const char* folder : {"out", "empty"}) std::filesystem::create_directories(Dir / folder);
  WriteFile(Dir / "out/clip.mp4", "an older output");
  f.EdtOutputFolder->setText(out);
  f.ChkOverwrite->setChecked(false);
  Add(Q({Clip("avi_xvid", "clip.avi"), Clip("mpeg1_ps", "clip.mpg"), Clip("avi_xvid", "other.avi")}));
  auto names = [&] {
    QStringList n;
    for (int r = 0; r < f.Lvw->RowCount(); ++r) n << f.Lvw->Cell(r, TQueueList::ColOutput);
    return n.join(",");
  };
  EXPECT_EQ(names(), "clip(1),clip(2),other");
  const struct {
    std::function<void()> Change;
    const char* Names;
  } steps[] = {{[&] { f.ChkOverwrite->setChecked(true); }, "clip,clip(1),other"},
               {[&] { f.ChkOverwrite->setChecked(false); }, "clip(1),clip(2),other"},
               {[&] {
                  Dialogs.FolderAnswers.push_back(empty);
                  f.BtnChangeOutputFolderClick();
                }, "clip,clip(1),other"},
               {[&] { WriteFile(Dir / "empty/other.mp4", "made since"); }, "clip,clip(1),other"},
               // At Convert the set-up names them anew.
               {[&] { f.BtnStartClick(); }, "clip,clip(1),other(1)"}};
  for (const auto& step : steps) {
    step.Change();
    EXPECT_EQ(names(), step.Names) << &step - steps;
  }
  f.BtnStartClick();  // Stop
  EXPECT_EQ(f.Run().State(), TBatchRun::Idle);
}

TEST_F(WindowTest, NothingMovesAtConvertAndTheLogFollowsItsNewLines) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  Add(Q({Clip("avi_xvid", "a.avi", 3.0)}));
  f.show();
  f.BtnLog->click();
  PumpFor(std::chrono::milliseconds(20));
  const std::vector<QWidget*> watched = {f.Lvw, f.GBOutput, f.GBOther, f.BtnStart, f.BtnLog, f.LblProgress};
  std::vector<QRect> idle;
  for (QWidget* w : watched) idle.push_back(w->geometry());
  f.BtnStartClick();
  ASSERT_EQ(f.Run().State(), TBatchRun::Running);
  PumpFor(std::chrono::milliseconds(20));
  for (size_t i = 0; i < watched.size(); ++i) EXPECT_EQ(watched[i]->geometry(), idle[i]) << i;
  // The run's lines arrive in bursts; the panel shows the last one.
  ASSERT_TRUE(PumpUntil([&] { return f.Run().State() == TBatchRun::Idle; }));
  QScrollBar* bar = f.MemLog->verticalScrollBar();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  // Lines arriving with the panel closed, then open: it shows the last one.
  f.BtnLog->click();
  f.MemLog->clear();
  auto add = [&](int Lines) {
    for (int i = 0; i < Lines; ++i) f.MemLog->appendPlainText("a: line " + QString::number(i));
    PumpFor(std::chrono::milliseconds(10));
  };
  add(30);
  f.BtnLog->click();
  PumpFor(std::chrono::milliseconds(20));
  const struct {
    std::function<void()> Do;
    bool AtEnd;
    int Value;  // where it stays when not at the end
  } steps[] = {{[&] { add(50); }, true, 0},
               {[&] { bar->setValue(5); }, false, 5},  // the user scrolls up
               {[&] { add(50); }, false, 5},
               {[&] { bar->setValue(bar->maximum()); }, true, 0},
               {[&] { add(50); }, true, 0}};
  for (const auto& step : steps) {
    step.Do();
    ASSERT_GT(bar->maximum(), 0);
    if (step.AtEnd)
      EXPECT_EQ(bar->value(), bar->maximum()) << &step - steps;
    else
      EXPECT_EQ(bar->value(), step.Value) << &step - steps;
  }
}

TEST_F(WindowTest, NamesThatAreNotUtf8KeepTheirBytesDownToTheOutput) {
  TForm1& f = MakeForm();
  const std::string out = Dir / "out";
  f.EdtOutputFolder->setText(QString::fromStdString(out) + "/");
  const std::string folder = Dir / "old disk";
  std::filesystem::create_directories(folder);
  const std::string name = "bad\xff\xfe\xdc" "berraschung";  // not UTF-8 (the last one Latin-1)
  const std::string path = folder + "/" + name + ".flv";
  std::filesystem::copy_file(Clip("avi_xvid", "x.avi"), path);
  const QString shown = QString::fromUtf8("bad\uFFFD\uFFFD\uFFFDberraschung");
  const std::string url = "file://" + QByteArray::fromStdString(path).toPercentEncoding("/").toStdString();
  auto drop = [&] {
    QMimeData data;
    data.setUrls({QUrl::fromEncoded(QByteArray::fromStdString(url))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(f.Lvw->viewport(), &enter);
    QDropEvent dropped(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(f.Lvw->viewport(), &dropped);
  };
  const std::pair<const char*, std::function<void()>> ways[] = {
      {"argument", [&] { f.AddStartupFiles({path}); }},
      {"file URL argument", [&] { f.AddStartupFiles({url}); }},
      {"drop", drop},
      {"dropped folder", [&] { f.DropFiles({folder}); }}};
  for (const auto& [how, give] : ways) {
    f.BtnClearClick();
    give();
    ASSERT_EQ(f.Lvw->RowCount(), 1) << how;
    EXPECT_EQ(f.Lvw->Path(0), path) << how;
    EXPECT_EQ(f.Lvw->OutputName(0), name) << how;
    EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColInput), shown) << how;
    EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColPath), QString::fromStdString(folder) + "/" + shown + ".flv") << how;
    // A folder's add ends with its count.
    if (std::string(how) == "dropped folder") {
      ASSERT_EQ(Dialogs.Messages.size(), 1u) << how;
      EXPECT_EQ(Dialogs.Messages[0].Text, "1 file added.");
      Dialogs.Messages.clear();
    }
    EXPECT_TRUE(Dialogs.Messages.empty()) << how;
  }

  // The Add dialog hands back replacement characters: a message names the
  // file and says why, and no row is added for it.
  f.BtnClearClick();
  Add({QString::fromLocal8Bit(path.c_str()), QString::fromStdString(Clip("avi_xvid", "good.avi"))});
  ASSERT_EQ(f.Lvw->RowCount(), 1);
  EXPECT_EQ(f.Lvw->Cell(0, TQueueList::ColInput), "good");
  ASSERT_EQ(Dialogs.Messages.size(), 1u);
  const QString text = Dialogs.Messages[0].Text;
  EXPECT_TRUE(text.contains(shown + ".flv\"")) << text.toStdString();
  EXPECT_TRUE(text.contains("not UTF-8")) << text.toStdString();
  EXPECT_FALSE(text.contains("not supported")) << text.toStdString();

  // The conversion writes the output under the same bytes.
  f.BtnClearClick();
  f.AddStartupFiles({path});
  f.BtnStartClick();
  ASSERT_TRUE(PumpUntil([&] { return f.Run().State() == TBatchRun::Idle; }));
  EXPECT_EQ(f.Lvw->Status(0).State, TRowState::Completed) << f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColStatus).toStdString();
  EXPECT_TRUE(std::filesystem::is_regular_file(out + "/" + name + ".mp4"));
}

TEST_F(WindowTest, RowsAreDrawnInThePalettesColoursSelectedOrNot) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  Add(Q({Clip("avi_xvid", "aaaa.avi"), Clip("avi_xvid", "bbbb.avi")}));
  f.show();
  // The share of the Input cell's pixels, per thousand, near Colour (with
  // Against: nearer Colour than Against, as the edges of a text are).
  auto share = [&](int Row, const QColor& Colour, const QColor& Against = QColor()) {
    PumpFor(std::chrono::milliseconds(20));
    const QRect cell = f.Lvw->visualRect(f.Lvw->model()->index(Row, TQueueList::ColInput)).adjusted(1, 1, -2, -2);
    const QImage image = f.Lvw->viewport()->grab().toImage();
    auto distance = [](const QColor& A, const QColor& B) {
      return std::abs(A.red() - B.red()) + std::abs(A.green() - B.green()) + std::abs(A.blue() - B.blue());
    };
    int near = 0;
    for (int x = cell.left(); x <= cell.right(); ++x)
      for (int y = cell.top(); y <= cell.bottom(); ++y) {
        const QColor c = image.pixelColor(x, y);
        near += Against.isValid() ? distance(c, Colour) < distance(c, Against) : distance(c, Colour) < 40;
      }
    return 1000 * near / (cell.width() * cell.height());
  };
  const QPalette light = QApplication::palette();
  QPalette dark = light;
  for (auto [role, colour] : {std::pair{QPalette::Base, QColor(35, 35, 35)}, {QPalette::Text, QColor(230, 230, 230)},
                              {QPalette::Highlight, QColor(42, 130, 218)}, {QPalette::HighlightedText, QColor(Qt::white)}})
    dark.setColor(role, colour);
  for (const QPalette& palette : {light, dark}) {
    QApplication::setPalette(palette);
    f.Lvw->SelectRow(0);
    f.BtnMoveDownClick();  // the moved row stays selected
    const QPalette& p = f.Lvw->palette();
    const QPalette::ColorGroup group = f.Lvw->isActiveWindow() ? QPalette::Active : QPalette::Inactive;
    const QColor highlight = p.color(group, QPalette::Highlight), highlighted = p.color(group, QPalette::HighlightedText);
    EXPECT_GT(share(1, highlight), 600) << "the selection's background";
    EXPECT_GT(share(1, highlighted, highlight), 20) << "and its text in the colour that reads on it";
    EXPECT_GT(share(0, p.color(group, QPalette::Base)), 600) << "an unselected row on the list's base";
    EXPECT_GT(share(0, p.color(group, QPalette::Text), p.color(group, QPalette::Base)), 20);
  }
  QApplication::setPalette(light);
}

// Records how each Status cell is drawn: its text, its width and how a text
// too long for it is cut.
class TCellRecorder : public QProxyStyle {
public:
  struct TCell {
    QString Text;
    int Width;
    Qt::TextElideMode Elide;
  };
  std::vector<TCell> Cells;
  void drawControl(ControlElement Element, const QStyleOption* Option, QPainter* Painter,
                   const QWidget* Widget) const override {
    if (const auto* item = qstyleoption_cast<const QStyleOptionViewItem*>(Option);
        Element == CE_ItemViewItem && item && item->index.column() == TQueueList::ColStatus)
      const_cast<TCellRecorder*>(this)->Cells.push_back({item->text, item->rect.width(), item->textElideMode});
    QProxyStyle::drawControl(Element, Option, Painter, Widget);
  }
};

TEST_F(WindowTest, ALongStatusKeepsItsStartInItsCellAndItsWholeTextInTheTooltip) {
  TForm1& f = MakeForm();
  f.EdtOutputFolder->setText(QString::fromStdString(Dir / "out") + "/");
  Add(Q({Clip("avi_xvid", "a.avi")}));
  f.show();
  const QString reason = "'a.avi' came out shorter: 0:00:03 of 0:00:08: the file ends before its header says.";
  f.Lvw->SetStatus(0, {TRowState::Completed, -1, 3000, 8000}, reason);
  auto* recorder = new TCellRecorder;
  recorder->setParent(f.Lvw);
  f.Lvw->setStyle(recorder);
  f.Lvw->viewport()->grab();
  ASSERT_FALSE(recorder->Cells.empty());
  const TCellRecorder::TCell cell = recorder->Cells.back();
  EXPECT_EQ(cell.Text, "Completed (shorter: 0:00:03 of 0:00:08)");
  // At the window's default width the text does not fit its cell; the cell
  // shows its start.
  EXPECT_GT(f.Lvw->fontMetrics().horizontalAdvance(cell.Text), cell.Width);
  EXPECT_EQ(cell.Elide, Qt::ElideRight);
  EXPECT_TRUE(f.Lvw->fontMetrics().elidedText(cell.Text, cell.Elide, cell.Width).startsWith("Complete"));
  EXPECT_EQ(f.Lvw->topLevelItem(0)->toolTip(TQueueList::ColStatus), reason);
  // The file names keep both ends.
  EXPECT_EQ(f.Lvw->textElideMode(), Qt::ElideMiddle);
  f.Lvw->setStyle(nullptr);
}

}  // namespace
