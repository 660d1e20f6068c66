// The engine's 24-bit bitmap: rows of packed BGR (the layout of the library's
// BGR24), with a canvas lock for code that draws on it from another thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

enum TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

class TBitmap {
public:
  TBitmap(int Width, int Height, TPixelFormat PixelFormat = pf24bit)
      : FWidth(Width), FHeight(Height), FPixelFormat(PixelFormat),
        FStride(Width * 3), FPixels(static_cast<size_t>(Width) * 3 * Height) {}

  int Width() const { return FWidth; }
  int Height() const { return FHeight; }
  TPixelFormat PixelFormat() const { return FPixelFormat; }
  int Stride() const { return FStride; }  // bytes per row (3 × Width)
  uint8_t* ScanLine(int Row) { return FPixels.data() + static_cast<size_t>(Row) * FStride; }
  const uint8_t* ScanLine(int Row) const { return FPixels.data() + static_cast<size_t>(Row) * FStride; }
  uint8_t* Bits() { return FPixels.data(); }

  // The canvas lock: held by the engine while a custom-hook handler runs.
  void Lock() { FCanvasLock.lock(); }
  void Unlock() { FCanvasLock.unlock(); }

private:
  int FWidth;
  int FHeight;
  TPixelFormat FPixelFormat;
  int FStride;
  std::vector<uint8_t> FPixels;
  std::recursive_mutex FCanvasLock;
};
