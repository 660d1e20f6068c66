// The wording of open and I/O failures: each library error code that has a
// wording of its own, the fallback, and the name put in verbatim.
#include <gtest/gtest.h>

#include "MediaHeaders.h"
#include "OpenErrors.h"

namespace {

struct TWording {
  const char* What;
  int Code;
  const char* Text;  // with "NAME" where the file name goes
};

const TWording Wordings[] = {
    {"no such file", AVERROR(ENOENT), "NAME: no such file or directory"},
    {"unrecognised data", AVERROR_INVALIDDATA, "NAME: Unknown format"},
    {"no demuxer", AVERROR_DEMUXER_NOT_FOUND, "NAME: Unknown format"},
    {"illegal byte sequence", AVERROR(EILSEQ), "NAME: Unknown format"},
    {"image number pattern", VIDLOMAT_ERROR_IMAGE_NUMBER,
     "NAME: Incorrect image filename syntax.\r\nUse '%d' to specify the image number:\r\n"
     "  for img1.jpg, img2.jpg, ..., use 'img%d.jpg';\r\n  for img001.jpg, img002.jpg, ..., use 'img%03d.jpg'."},
    {"invalid argument", AVERROR(EINVAL), "NAME: Error while parsing header"},
    {"out of memory", AVERROR(ENOMEM), "NAME: memory allocation error occurred"},
    {"read error", AVERROR(EIO),
     "NAME: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."},
    {"end of file while reading headers", AVERROR_EOF,
     "NAME: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted."},
    {"permission denied", AVERROR(EACCES), "NAME: permission denied"},
    {"disk full", AVERROR(ENOSPC), "NAME: no space left on the device"},
    {"unknown code", AVERROR(EXDEV), "NAME: Error while opening file"},
    {"no protocol", AVERROR_PROTOCOL_NOT_FOUND, "NAME: Error while opening file"},
    {"unknown code", -123456, "NAME: Error while opening file"},
    {"not an error", 0, "NAME: Error while opening file"},
};

std::string WithName(const std::string& Text, const std::string& Name) {
  std::string s = Text;
  s.replace(s.find("NAME"), 4, Name);
  return s;
}

TEST(FormatOpenErrorTest, EachCodeGetsItsWording) {
  static_assert(VIDLOMAT_ERROR_IMAGE_NUMBER == AVERROR(EDOM));
  for (const TWording& w : Wordings) {
    SCOPED_TRACE(w.What);
    EXPECT_EQ(FormatOpenError("/videos/clip.avi", w.Code), WithName(w.Text, "/videos/clip.avi"));
  }
}

// Percent signs, format directives and an empty name are taken literally.
TEST(FormatOpenErrorTest, TheNameIsInsertedVerbatim) {
  for (const std::string name : {"100% %s %d %n.avi", "", "ümlaut name.mpg"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(FormatOpenError(name, AVERROR(ENOENT)), name + ": no such file or directory");
    EXPECT_EQ(FormatOpenError(name, VIDLOMAT_ERROR_IMAGE_NUMBER), WithName(Wordings[4].Text, name));
  }
}

}  // namespace
