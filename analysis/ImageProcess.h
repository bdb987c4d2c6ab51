#pragma once
// The image processor: holds the display picture as a complete 24-bit bitmap file image in memory
// (14-byte file header, 40-byte information header, then W x H pixels of blue, green, red, rows
// bottom-up, no row padding), maps display values to it through the colour tables, hands it to the
// window top-down as 32-bit pixels and writes it to disk for the bitmap export.
//
// The display thread and the window thread both build pictures and the window reads them, so every
// public operation takes the object's mutex: the bitmap, the gain and the mapping tables are never
// used by two threads at the same time.
#include "analysis/myMath.h"

#include <array>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ImageProcess {
public:
    static constexpr size_t kBitmapHeaderSize = 54; // 14-byte file header + 40-byte info header
    using ColorTable = std::array<uint8_t, 256>;

    // width = picture columns (cube lines, W), height = picture rows (samples, H).
    explicit ImageProcess(int width = 696, int height = 520);
    virtual ~ImageProcess() = default;
    ImageProcess(const ImageProcess&) = delete;
    ImageProcess& operator=(const ImageProcess&) = delete;

    // Colour table `index` (the same table serves red, green and blue). Table 1 is the display's
    // ramp: entry i = trunc(255 * i^0.6 / 255^0.6). Any other index gives the linear ramp i -> i.
    static const ColorTable& GetColorTable(int index);

    // Grey picture from rows x columns display values (index r * columns + l, row 0 at the top),
    // read as signed 32-bit. With manual set the gain becomes 32767 / max (max below 1 counts as
    // 1) and values below min are black, values above max white; without it the gain of the last
    // manual picture stays in force. index = rnd(gain * 255 * (v - storedMin) / 32767) clamped to
    // 0..255, rnd rounding halves away from zero. Marks the bitmap ready. Null values or a
    // non-positive size change nothing; a new size re-sizes the bitmap.
    void MakeGreyBitmap(const uint32_t* values, int rows, int columns, int colorMap, bool manual, int min,
                        int max);
    void MakeGreyBitmap(const int32_t* values, int rows, int columns, int colorMap, bool manual, int min,
                        int max);

    // Colour composite from three planes (index r * columns + l), each value read as signed
    // 16-bit: index = rnd(gain * 255 * v / 32767) clamped to 0..255, with the gain of the last
    // manual grey picture, no offset and no min/max cut. Marks the bitmap ready.
    void MakeColorBitmap(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int rows,
                         int columns, int colorMap);

    // The same mappings for the columns [firstColumn, endColumn) only, for a picture of which only
    // those columns changed (new cube lines during a scan): the other columns keep what the last
    // picture showed. That holds only when the last picture was of the same kind and size and mapped
    // with the same gain, cut and colour table; otherwise the whole picture is mapped (`values` or the
    // planes always cover the whole picture). Returns true when only the given columns were mapped.
    bool MakeGreyBitmapColumns(const uint32_t* values, int rows, int columns, int colorMap, bool manual,
                               int min, int max, int firstColumn, int endColumn);
    bool MakeColorBitmapColumns(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int rows,
                                int columns, int colorMap, int firstColumn, int endColumn);

    // The mappings use AVX2 where the processor has it. Test hook: false forces the portable code,
    // true restores the processor's choice; returns whether AVX2 is in use.
    static bool SetVectorMapping(bool on);

    // The vector mapping's table lookup (AVX2) of the indices in idx, all within lowest ... highest,
    // replaced by their entries of `table`, as the mapping does it; a test hook for comparing it with
    // the table. Returns false and changes nothing without AVX2.
    static bool LookUpInVectors(const ColorTable& table, int lowest, int highest, std::vector<uint8_t>& idx);

    // Whether the last picture was mapped by the arithmetic vector mapping (AVX2 and FMA; used from
    // the second picture of a mapping on, once it has given the table's bytes for every value the
    // table covers). Test hook.
    bool MappedArithmetically() const;

    // Draws in the colour the pixels of the mapped picture whose mask element (index
    // r * columns + l, row 0 at the top) is nonzero, in the columns [firstColumn, endColumn): an
    // overlay over what the last mapping drew (the saturation display). Nothing happens before a
    // picture was mapped, for a null mask or when rows x columns is not the picture's size.
    void PaintMask(const uint8_t* mask, int rows, int columns, uint8_t red, uint8_t green, uint8_t blue,
                   int firstColumn = 0, int endColumn = INT_MAX);

    // True once a picture has been mapped.
    bool IsReady() const;

    // The picture top-down as 0xFFRRGGBB pixels (QImage::Format_RGB32), index r * width + l.
    // Returns false and leaves the outputs alone when nothing has been mapped yet.
    bool CopyTopDownRgb32(std::vector<uint32_t>& pixels, int& width, int& height) const;

    // Copy of the whole bitmap file image (headers and pixels).
    std::vector<uint8_t> BitmapFileImage() const;

    // Writes the bitmap file image: 54 + W * H * 3 bytes for widths whose rows are a multiple of 4
    // bytes (696 is); other widths get their rows padded as the bitmap format requires. Returns 1
    // on success, 0 when the file cannot be created or a write or the close fails; a failure
    // leaves no file and an earlier file of the same name as it was.
    int SaveBitmapFile(const std::string& path) const;

    // Display gain: 1.0 at construction, 32767 / max after a manual grey picture.
    float Gain() const;
    // Value mapped to black (0; nothing changes it).
    uint16_t StoredMinimum() const;
    int Width() const;
    int Height() const;

    // Neutral per-pixel correction tables of the detector (W * H entries): identity index map and
    // gain 1.0. Nothing in the program changes or applies them.
    std::vector<int32_t> PixelIndexMap() const;
    std::vector<float> PixelGainMap() const;
    int32_t MapSize() const;

private:
    struct GreyKey {
        int64_t gainNum, gainDen;
        int32_t storedMin;
        bool manual;
        int64_t lower, upper;
        int colorMap;
        bool operator==(const GreyKey&) const = default;
    };
    struct ColorKey {
        int64_t gainNum, gainDen;
        int colorMap;
        bool operator==(const ColorKey&) const = default;
    };

    // The vector mapping of the current grey or colour key: the index computed arithmetically as
    // trunc(value * scale + bias) and then looked up in a 256-entry table (skipped when that is the
    // identity). It is used from the second picture of a key on, once it has given the same bytes
    // as the exact table for every value the table covers.
    struct VectorMapping {
        bool usedOnce = false; // a picture has been mapped with the table since it was built
        bool checked = false;  // compared with the exact table since that was built
        bool usable = false;   // ... and the same everywhere
        bool identity = false;
        bool wholeRange = false; // values outside 0..65535 need no test of their own
        float scale = 0.0f;
        float bias = 0.0f;
        int32_t offset = 0; // subtracted from a value first
        ColorTable table{};
    };

    enum class Picture { None, Grey, Color };

    void ResizeLocked(int width, int height);
    void WriteHeadersLocked();
    // The grey mapping's parameters; a manual picture sets the gain first.
    GreyKey GreyKeyLocked(int colorMap, bool manual, int min, int max);
    // Whether the last picture was mapped with this key, so that its other columns stay valid.
    bool KeepsOtherColumnsLocked(const GreyKey* grey, const ColorKey* color) const;
    template <class T>
    bool MakeGreyLocked(const T* values, int rows, int columns, int colorMap, bool manual, int min, int max,
                        int firstColumn, int endColumn);
    bool MakeColorLocked(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int rows,
                         int columns, int colorMap, int firstColumn, int endColumn);
    // Packed blue, green, red of a display value (the table, or the exact computation outside it).
    uint32_t GreyPixel(uint32_t u, const GreyKey& key, const uint32_t* lut, const ColorTable& table) const;
    int GreyIndex(int64_t v, const GreyKey& key) const;
    void BuildGreyLut(const GreyKey& key);
    void BuildColorLut(const ColorKey& key);
    // Whether the vector mapping serves the current table's key (checked once per table).
    bool GreyVectorUsableLocked();
    bool ColorVectorUsableLocked();
    static void SetVectorTable(VectorMapping& vm, const ColorTable& table);
    template <class MapAll>
    static bool FindVectorMapping(VectorMapping& vm, double ratio, const uint8_t* exact, MapAll mapAll);

    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_bitmap; // headers + pixels
    int m_width = 0;
    int m_height = 0;
    bool m_ready = false;
    myMath m_math;
    // The gain is kept as the exact ratio gainNum / gainDen (32767 / max after a manual picture) so
    // that a value mapping exactly halfway between two table entries rounds as intended.
    int64_t m_gainNum = 1;
    int64_t m_gainDen = 1;
    uint16_t m_storedMin = 0;
    std::vector<uint32_t> m_workBuffer; // W * H, scratch of the detector statistics (unused)
    std::vector<int32_t> m_pixelIndexMap;
    std::vector<float> m_pixelGainMap;
    int32_t m_mapSize = 0;

    // Lookup tables for the values 0..65535, rebuilt when the mapping parameters change.
    std::vector<uint32_t> m_greyLut; // blue | green << 8 | red << 16
    GreyKey m_greyKey{};
    bool m_greyLutValid = false;
    std::vector<uint8_t> m_colorLut; // the colour table's entry for each value (red, green and blue alike)
    ColorKey m_colorKey{};
    bool m_colorLutValid = false;
    VectorMapping m_greyVector;
    VectorMapping m_colorVector;
    std::vector<uint8_t> m_indexRows; // scratch rows of indices of the vector mapping
    bool m_mappedArithmetically = false;
    // What the bitmap holds: the kind of the last picture and the key it was mapped with.
    Picture m_lastPicture = Picture::None;
    GreyKey m_lastGreyKey{};
    ColorKey m_lastColorKey{};
};
