#include "OpenErrors.h"

#include "MediaHeaders.h"

namespace {

// The wordings keep the printf-style escapes of the message table: "%s" is the
// file name, "%%" a percent sign.
const char* WordingFor(int Code) {
  switch (Code) {
    // The container could not be recognised.
    case AVERROR_INVALIDDATA:
    case AVERROR_DEMUXER_NOT_FOUND:
    case AVERROR(EILSEQ):
      return "%s: Unknown format";
    // An image sequence name without a usable number pattern.
    case VIDLOMAT_ERROR_IMAGE_NUMBER:
      return "%s: Incorrect image filename syntax.\r\n"
             "Use '%%d' to specify the image number:\r\n"
             "  for img1.jpg, img2.jpg, ..., use 'img%%d.jpg';\r\n"
             "  for img001.jpg, img002.jpg, ..., use 'img%%03d.jpg'.";
    case AVERROR(EINVAL):
      return "%s: Error while parsing header";
    case AVERROR(ENOMEM):
      return "%s: memory allocation error occurred";
    // A read that failed or ended before the headers were complete.
    case AVERROR(EIO):
    case AVERROR_EOF:
      return "%s: I/O error occurred\r\nUsually that means that input file is truncated and/or corrupted.";
    case AVERROR(ENOENT):
      return "%s: no such file or directory";
    // Codes of writing that the older table never met; a user must learn that
    // the disk is full or the folder not writable, not just that it failed.
    case AVERROR(ENOSPC):
      return "%s: no space left on the device";
    case AVERROR(EACCES):
    case AVERROR(EPERM):
    case AVERROR(EROFS):
      return "%s: permission denied";
    default:
      return "%s: Error while opening file";
  }
}

}  // namespace

std::string FormatOpenError(const std::string& Name, int ErrorCode) {
  const std::string wording = WordingFor(ErrorCode);
  std::string result;
  result.reserve(wording.size() + Name.size());
  for (size_t i = 0; i < wording.size(); ++i) {
    if (wording[i] == '%' && i + 1 < wording.size()) {
      if (wording[i + 1] == 's') {
        result += Name;
        ++i;
        continue;
      }
      if (wording[i + 1] == '%') {
        result += '%';
        ++i;
        continue;
      }
    }
    result += wording[i];
  }
  return result;
}
