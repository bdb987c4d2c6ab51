#pragma once
// Dark frame and the files of the calibration data: dark stack, calibration stack and automatic
// calibration stack files (the 32768-byte header, calibration variant, then frames of unsigned
// 16-bit values, least significant byte first), the radiometric gain file (B * H floats, no
// header), and the texts of the two labels that name the files in use.
//
// Stacks (m_darkCube, m_calCube as filled by the acquisition) hold N = darkLines frames of B x H
// values, frame f at f*B*H, with the cube's band order; the dark frame is one such frame.
#include "core/Geometry.h"
#include "storage/CubeHeader.h"

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr const char* kMsgUnableToSaveDarkFrame = "unable to save dark frame";
inline constexpr const char* kMsgUnableToSaveCalibrationCube = "unable to save Calibration Cube";
inline constexpr const char* kMsgUnableToSaveAutoCalibrationCube = "unable to save auto Calibration Cube...";
inline constexpr const char* kMsgUnableToOpenDarkFrameFile = "Unable to open Dark Frame File";
inline constexpr const char* kMsgUnableToOpenRadCalFile = "Unable to open Radiometric Calibration File";

// Value of every element of the frame that follows the stack in a dark stack file.
inline constexpr uint16_t kDarkFileTrailerValue = 1000;

enum class FileResult {
    Ok,
    Refused,    // read, but its content is not what the file must hold (see the load's problem)
    OpenFailed, // the file could not be opened or created (or no buffer was given); nothing written
    WriteFailed // a write or the close failed part-way: no file was left (an earlier file of the
                // same name is kept as it was)
};

// darkFrame[i] = (sum over the N frames of darkCube[f*frameValues + i]) / N, a 32-bit sum and a
// division truncating toward zero; i = 0..frameValues-1. Nothing happens when frames < 1.
void ComputeDarkFrame(const uint16_t* darkCube, int frames, size_t frameValues, uint16_t* darkFrame);

// Dark stack file: header (calibration variant, samples H, lines N = darkLines, bands B; the other
// fields from `header`), frames N-1 down to 0 each as it lies in memory (bands 0..B-1), then one
// frame of B*H values 1000. 32768 + (N + 1) * B * H * 2 bytes.
// Header of a dark or calibration stack file (calibration variant, lines = the stack's length).
CubeHeaderInfo StackHeaderInfo(const CubeGeometry& geometry, double exposureMs, const DefaultCalibration& calibration);

FileResult SaveDarkCubeFile(const std::string& path, const uint16_t* darkCube, const CubeGeometry& geometry,
                            const CubeHeaderInfo& header);

// Calibration stack file: the same without the trailing frame. 32768 + N * B * H * 2 bytes.
FileResult SaveCalibrationCubeFile(const std::string& path, const uint16_t* calCube,
                                   const CubeGeometry& geometry, const CubeHeaderInfo& header);

// Automatic calibration stack file (spectral calibration run): header, then frames N-1 down to 0
// of B*W values each, frame f starting at value f*B*W, as they lie in memory.
// 32768 + N * B * W * 2 bytes. calCube must hold N * B * W values.
FileResult SaveAutoCalibrationCubeFile(const std::string& path, const uint16_t* calCube,
                                       const CubeGeometry& geometry, const CubeHeaderInfo& header);

struct DarkCubeLoad {
    FileResult result = FileResult::OpenFailed; // Ok, OpenFailed or Refused
    bool headerComplete = false;                // the file held the whole 32768-byte header
    size_t valuesRead = 0;                      // stack values read (at most N * B * H)
    int framesRead = 0;                         // complete frames among them
    std::string problem;                        // why it was refused (the message to show)
};

// Reads a dark stack file into darkCube (N * B * H values): zeroes the stack, skips the header and
// reads up to N * B * H values in file order; a shorter file leaves the rest 0, values past the
// stack (the trailing frame) are not read. Values are 12-bit: a file holding a value above 4095 is
// no dark stack of this instrument and is Refused. On OpenFailed and Refused the stack is unchanged.
DarkCubeLoad LoadDarkCubeFile(const std::string& path, uint16_t* darkCube, const CubeGeometry& geometry);

struct RadCalLoad {
    FileResult result = FileResult::OpenFailed; // Ok, OpenFailed or Refused
    size_t valuesRead = 0;                      // gains read (at most `count`)
    std::string problem;                        // why it was refused (the message to show)
};

// Reads up to `count` (B * H) little-endian floats from the start of the file into gains; the
// gains past the end of a shorter file keep their values. A gain must be a finite number of 0 or
// more: a file holding another value (not a number, infinite, negative) is Refused. On OpenFailed
// and Refused nothing changes.
RadCalLoad LoadRadCalFile(const std::string& path, float* gains, size_t count);

// The file name after the last '/' of the path (the whole text when it has none).
std::string FileNameWithoutFolder(const std::string& path);

// A file name as shown in a label: names of at most 79 characters unchanged, longer ones shortened
// to 79 characters: their start, "..." and their end (so the extension stays visible).
std::string LabelFileName(const std::string& name);

// "Dark Frame:" and the name joined by one blank ("%s %s").
std::string DarkLabelText(const std::string& fileName);
// "Rad. Cal.: " and the name joined by one blank: two blanks stand before the name.
std::string RadCalLabelText(const std::string& fileName);
