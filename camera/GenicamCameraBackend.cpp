#include "camera/GenicamCameraBackend.h"

#include <arv.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace {

// Mono12p of the pixel format naming convention (12-bit values packed least significant bits first).
constexpr ArvPixelFormat kMono12p = ArvPixelFormat(0x010C0047u);
// Buffers queued on a stream.
constexpr int kStreamBuffers = 8;

// The text of a GLib error, which is then cleared; "" when there was none.
std::string Take(GError*& error) {
    if (!error)
        return {};
    std::string text = error->message ? error->message : "error";
    g_clear_error(&error);
    return text;
}

bool IsMono(ArvPixelFormat f) {
    return f == ARV_PIXEL_FORMAT_MONO_8 || f == ARV_PIXEL_FORMAT_MONO_12 ||
           f == ARV_PIXEL_FORMAT_MONO_12_PACKED || f == kMono12p || f == ARV_PIXEL_FORMAT_MONO_16;
}

// Bytes of a w x h image in pixel format f (0 for a format the backend does not read).
size_t ImageBytes(ArvPixelFormat f, size_t w, size_t h) {
    if (f == ARV_PIXEL_FORMAT_MONO_8)
        return w * h;
    if (f == ARV_PIXEL_FORMAT_MONO_12 || f == ARV_PIXEL_FORMAT_MONO_16)
        return w * h * 2;
    if (f == ARV_PIXEL_FORMAT_MONO_12_PACKED || f == kMono12p)
        return (w * h * 3 + 1) / 2;
    if (f == ARV_PIXEL_FORMAT_RGB_8_PACKED || f == ARV_PIXEL_FORMAT_BGR_8_PACKED)
        return w * h * 3;
    return 0;
}

// 16-bit values of full scale 65535 from a mono image.
void ToGrey16(ArvPixelFormat f, const uint8_t* src, size_t n, uint16_t* dst) {
    if (f == ARV_PIXEL_FORMAT_MONO_16) {
        std::memcpy(dst, src, n * 2);
    } else if (f == ARV_PIXEL_FORMAT_MONO_12) {
        for (size_t i = 0; i < n; ++i)
            dst[i] = uint16_t((uint16_t(src[2 * i] | (src[2 * i + 1] << 8)) & 0x0FFF) << 4);
    } else if (f == ARV_PIXEL_FORMAT_MONO_8) {
        for (size_t i = 0; i < n; ++i)
            dst[i] = uint16_t(src[i] << 8);
    } else if (f == ARV_PIXEL_FORMAT_MONO_12_PACKED) {
        // Two pixels in three bytes: the high eight bits of each in bytes 0 and 2, their low four bits
        // in the two halves of byte 1.
        for (size_t i = 0; i < n; i += 2) {
            const uint8_t* p = src + i / 2 * 3;
            dst[i] = uint16_t(((p[0] << 4) | (p[1] & 0x0F)) << 4);
            if (i + 1 < n)
                dst[i + 1] = uint16_t(((p[2] << 4) | (p[1] >> 4)) << 4);
        }
    } else if (f == kMono12p) {
        for (size_t i = 0; i < n; i += 2) {
            const uint8_t* p = src + i / 2 * 3;
            dst[i] = uint16_t((p[0] | ((p[1] & 0x0F) << 8)) << 4);
            if (i + 1 < n)
                dst[i + 1] = uint16_t(((p[1] >> 4) | (p[2] << 4)) << 4);
        }
    }
}

// One GenICam camera.
class GenicamCamera final : public CameraBackend {
public:
    GenicamCamera(std::string device, GenicamRole role, std::function<void(const std::string&)> report)
        : m_device(std::move(device)), m_role(role), m_report(std::move(report)) {}

    ~GenicamCamera() override {
        StopStream();
        if (m_camera)
            g_object_unref(m_camera);
    }

    std::string Name() const override { return "GenICam camera " + m_device; }
    ArvCamera* Native() const { return m_camera; }

    LONG NumCameras() override { return Open() ? 1 : 0; }

    LONG EnumCameras(LUCAM_VERSION* versions, ULONG count) override {
        if (!Open())
            return 0;
        if (versions && count > 0)
            QueryVersion(this, versions);
        return 1;
    }

    void* CameraOpen(ULONG number) override { return number == 1 && Open() ? this : nullptr; }
    BOOL CameraClose(void*) override {
        StopStream();
        return TRUE;
    }

    BOOL GetCameraId(void*, ULONG* id) override {
        if (!id || !m_camera)
            return FALSE;
        *id = 0; // no camera of the vendor's family
        return TRUE;
    }

    BOOL QueryVersion(void*, LUCAM_VERSION* version) override {
        if (!version || !m_camera)
            return FALSE;
        *version = LUCAM_VERSION{};
        version->serialnumber = ULONG(std::strtoul(m_serial.c_str(), nullptr, 10));
        return TRUE;
    }

    BOOL GetProperty(void*, ULONG property, FLOAT* value, LONG* flags) override {
        if (!m_camera || !value)
            return FALSE;
        if (flags)
            *flags = 0;
        GError* e = nullptr;
        switch (property) {
        case LUCAM_PROP_EXPOSURE: {
            double ms = arv_camera_get_exposure_time(m_camera, &e) / 1000.0;
            if (!Take(e).empty())
                return FALSE;
            // A frame cannot integrate longer than one frame period at the current rate.
            const double rate = CurrentRate();
            if (rate > 0)
                ms = std::min(ms, 1000.0 / rate);
            *value = FLOAT(ms);
            return TRUE;
        }
        case LUCAM_PROP_GAIN: {
            const double g = arv_camera_get_gain(m_camera, &e);
            if (!Take(e).empty())
                return FALSE;
            *value = FLOAT(m_gainInDb ? std::pow(10.0, g / 20.0) : g);
            return TRUE;
        }
        case LUCAM_PROP_COLOR_FORMAT:
            *value = m_colour ? 1.0f : 0.0f;
            return TRUE;
        case LUCAM_PROP_MAX_WIDTH:
            *value = FLOAT(m_sensorWidth);
            return TRUE;
        case LUCAM_PROP_MAX_HEIGHT:
            *value = FLOAT(m_sensorHeight);
            return TRUE;
        default:
            return FALSE;
        }
    }

    BOOL SetProperty(void*, ULONG property, FLOAT value, LONG) override {
        if (!m_camera)
            return FALSE;
        GError* e = nullptr;
        double lo = 0, hi = 0;
        if (property == LUCAM_PROP_EXPOSURE) {
            if (!(value > 0) || !std::isfinite(value))
                return FALSE;
            arv_camera_get_exposure_time_bounds(m_camera, &lo, &hi, &e);
            if (!Take(e).empty())
                return FALSE;
            // Held within what the camera can do; the value read back says what it took.
            arv_camera_set_exposure_time(m_camera, std::clamp(double(value) * 1000.0, lo, hi), &e);
            return Take(e).empty();
        }
        if (property == LUCAM_PROP_GAIN) {
            if (!(value > 0) || !std::isfinite(value))
                return FALSE;
            const double g = m_gainInDb ? 20.0 * std::log10(double(value)) : double(value);
            arv_camera_get_gain_bounds(m_camera, &lo, &hi, &e);
            if (!Take(e).empty() || g < lo - 1e-9 || g > hi + 1e-9)
                return FALSE;
            arv_camera_set_gain(m_camera, g, &e);
            return Take(e).empty();
        }
        return FALSE;
    }

    BOOL GetFormat(void*, LUCAM_FRAME_FORMAT* format, FLOAT* frameRate) override {
        if (!m_camera || !format)
            return FALSE;
        std::lock_guard lock(m_mutex);
        *format = m_format;
        if (frameRate)
            *frameRate = m_rate;
        return TRUE;
    }

    BOOL SetFormat(void*, LUCAM_FRAME_FORMAT* format, FLOAT frameRate) override {
        if (!m_camera || !format)
            return FALSE;
        const int bin = std::max<int>(format->binningX, 1);
        const int width = int(format->width) / bin;
        const int height = int(format->height) / std::max<int>(format->binningY, 1);
        if (width < 1 || height < 1)
            return FALSE;
        const bool wasStreaming = m_stream != nullptr;
        HWND display = m_display;
        StopStream();
        const bool ok = Configure(bin, width, height, format->pixelFormat, frameRate);
        if (ok) {
            std::lock_guard lock(m_mutex);
            m_format = *format;
            m_format.pixelFormat = format->pixelFormat;
        }
        if (wasStreaming)
            StartStream(display);
        return ok ? TRUE : FALSE;
    }

    LONG EnumAvailableFrameRates(void*, ULONG room, FLOAT* rates) override {
        if (!m_camera)
            return 0;
        std::vector<float> list = Rates();
        if (!rates)
            return LONG(list.size());
        const ULONG n = std::min<ULONG>(room, ULONG(list.size()));
        std::copy_n(list.begin(), n, rates);
        return LONG(n);
    }

    BOOL StreamVideoControl(void*, ULONG controlType, HWND window) override {
        if (!m_camera)
            return FALSE;
        if (controlType == STOP_STREAMING) {
            StopStream();
            return TRUE;
        }
        if (controlType != START_STREAMING && controlType != START_DISPLAY)
            return FALSE;
        if (m_stream)
            return TRUE;
        return StartStream(controlType == START_DISPLAY ? window : nullptr) ? TRUE : FALSE;
    }

    LONG AddStreamingCallback(void*, LucamStreamingCallback callback, VOID* context) override {
        if (!m_camera || !callback)
            return -1;
        std::lock_guard lock(m_mutex);
        const LONG id = m_nextId++;
        m_callbacks[id] = {callback, context};
        return id;
    }

    BOOL RemoveStreamingCallback(void*, LONG id) override {
        std::lock_guard lock(m_mutex);
        return m_callbacks.erase(id) ? TRUE : FALSE;
    }

    BOOL ConvertFrameToGreyscale16(void*, USHORT* dest, const USHORT* src, ULONG width, ULONG height,
                                   ULONG pixelFormat, LUCAM_CONVERSION*) override {
        // Frames are handed on as 16-bit values already.
        if (!dest || !src || pixelFormat != LUCAM_PF_16)
            return FALSE;
        std::memcpy(dest, src, size_t(width) * height * sizeof(USHORT));
        return TRUE;
    }

    BOOL ContinuousAutoExposureEnable(void*, BYTE target, ULONG, ULONG, ULONG, ULONG, FLOAT) override {
        if (!m_camera)
            return FALSE;
        GError* e = nullptr;
        const gboolean available = arv_camera_is_exposure_auto_available(m_camera, &e);
        if (!Take(e).empty() || !available)
            return FALSE;
        arv_camera_set_exposure_time_auto(m_camera, target > 0 ? ARV_AUTO_CONTINUOUS : ARV_AUTO_OFF, &e);
        return Take(e).empty();
    }

    LONG AddRgbPreviewCallback(void*, LucamRgbPreviewCallback callback, VOID* context, ULONG) override {
        if (!m_camera || !callback)
            return -1;
        std::lock_guard lock(m_mutex);
        const LONG id = m_nextId++;
        m_previews[id] = {callback, context};
        return id;
    }

    BOOL RemoveRgbPreviewCallback(void*, LONG id) override {
        std::lock_guard lock(m_mutex);
        return m_previews.erase(id) ? TRUE : FALSE;
    }

    BOOL AdjustDisplayWindow(void*, const char*, LONG x, LONG y, LONG, LONG) override {
        std::lock_guard lock(m_mutex);
        m_dx = x;
        m_dy = y;
        return m_camera ? TRUE : FALSE;
    }

    BOOL DestroyDisplayWindow(void*) override {
        std::lock_guard lock(m_mutex);
        m_display = nullptr;
        return m_camera ? TRUE : FALSE;
    }

    CameraStreamCounters Counters(void*) override {
        CameraStreamCounters c;
        c.delivered = m_delivered.load();
        c.dropped = m_dropped.load();
        c.rejected = m_rejected.load();
        c.failed = m_failed.load();
        c.underruns = m_underrunsBefore.load();
        std::lock_guard lock(m_streamMutex);
        if (m_stream) {
            guint64 completed = 0, failures = 0, underruns = 0;
            arv_stream_get_statistics(m_stream, &completed, &failures, &underruns);
            c.underruns += underruns;
        }
        return c;
    }

private:
    bool Open() {
        if (m_tried)
            return m_camera != nullptr;
        m_tried = true;
        // Aravis's fake camera ("Fake_1") lives on an interface that is off unless asked for.
        if (m_device.rfind("Fake_", 0) == 0)
            arv_enable_interface("Fake");
        GError* e = nullptr;
        m_camera = arv_camera_new(m_device.c_str(), &e);
        std::string why = Take(e);
        if (!m_camera) {
            // The name may be a serial number.
            arv_update_device_list();
            for (unsigned i = 0; i < arv_get_n_devices(); ++i) {
                const char* serial = arv_get_device_serial_nbr(i);
                const char* id = arv_get_device_id(i);
                if (serial && id && m_device == serial) {
                    m_camera = arv_camera_new(id, &e);
                    why = Take(e);
                    break;
                }
            }
        }
        if (!m_camera) {
            Report("The GenICam camera " + m_device + " was not found" +
                   (why.empty() ? "" : " (" + why + ")") +
                   ". arv-tool-0.8 lists the cameras this computer sees.");
            return false;
        }
        const char* serial = arv_camera_get_device_serial_number(m_camera, &e);
        Take(e);
        m_serial = serial ? serial : "";
        arv_camera_get_sensor_size(m_camera, &m_sensorWidth, &m_sensorHeight, &e);
        Take(e);
        m_binning = arv_camera_is_binning_available(m_camera, &e);
        Take(e);
        // The camera's own automatic exposure and gain would change what the settings ask for.
        if (arv_camera_is_exposure_auto_available(m_camera, &e))
            arv_camera_set_exposure_time_auto(m_camera, ARV_AUTO_OFF, &e);
        Take(e);
        if (arv_camera_is_gain_auto_available(m_camera, &e))
            arv_camera_set_gain_auto(m_camera, ARV_AUTO_OFF, &e);
        Take(e);
        // Gain given in dB (a float feature "Gain" with the unit dB).
        ArvGcNode* gain = arv_device_get_feature(arv_camera_get_device(m_camera), "Gain");
        if (gain && ARV_IS_GC_FLOAT(gain)) {
            const char* unit = arv_gc_float_get_unit(ARV_GC_FLOAT(gain));
            m_gainInDb = unit && g_ascii_strcasecmp(unit, "dB") == 0;
        }
        guint n = 0;
        const char** formats = arv_camera_dup_available_pixel_formats_as_strings(m_camera, &n, &e);
        Take(e);
        for (guint i = 0; formats && i < n; ++i)
            if (formats[i] &&
                (std::strncmp(formats[i], "RGB", 3) == 0 || std::strncmp(formats[i], "Bayer", 5) == 0 ||
                 std::strncmp(formats[i], "BGR", 3) == 0))
                m_colour = true;
        g_free(formats);
        m_rate = FLOAT(CurrentRate());
        if (m_role == GenicamRole::DataCamera) {
            // The program's frames: 696 x 520 after 2 x 2 binning (or a region of that size).
            m_format = LUCAM_FRAME_FORMAT{0, 0, 2 * 696, 2 * 520, LUCAM_PF_8, {1}, 0, {1}, 0};
            int maxW = 0, maxH = 0;
            if (!Usable(696, 520, maxW, maxH)) {
                Report("The GenICam camera " + m_device +
                       " cannot give frames of 696 x 520 pixels (at most " + std::to_string(maxW) + " x " +
                       std::to_string(maxH) + "): it is not used as data camera.");
                g_object_unref(m_camera);
                m_camera = nullptr;
                return false;
            }
        } else {
            m_format = LUCAM_FRAME_FORMAT{
                0, 0, ULONG(m_sensorWidth), ULONG(m_sensorHeight), LUCAM_PF_24, {1}, 0, {1}, 0};
        }
        return true;
    }

    // Whether the camera gives width x height frames with 2 x 2 binning, or from its sensor.
    bool Usable(int width, int height, int& maxW, int& maxH) {
        GError* e = nullptr;
        int lo = 0;
        if (m_binning) {
            int minBin = 1, maxBin = 1;
            arv_camera_get_x_binning_bounds(m_camera, &minBin, &maxBin, &e);
            if (Take(e).empty() && maxBin >= 2) {
                arv_camera_set_binning(m_camera, 2, 2, &e);
                if (Take(e).empty()) {
                    arv_camera_get_width_bounds(m_camera, &lo, &maxW, &e);
                    Take(e);
                    arv_camera_get_height_bounds(m_camera, &lo, &maxH, &e);
                    Take(e);
                    if (maxW >= width && maxH >= height)
                        return true;
                }
            }
            arv_camera_set_binning(m_camera, 1, 1, &e);
            Take(e);
        }
        arv_camera_get_width_bounds(m_camera, &lo, &maxW, &e);
        Take(e);
        arv_camera_get_height_bounds(m_camera, &lo, &maxH, &e);
        Take(e);
        return maxW >= width && maxH >= height;
    }

    double CurrentRate() {
        GError* e = nullptr;
        if (!arv_camera_is_frame_rate_available(m_camera, &e) || !Take(e).empty())
            return 0;
        const double rate = arv_camera_get_frame_rate(m_camera, &e);
        return Take(e).empty() ? rate : 0;
    }

    std::vector<float> Rates() {
        GError* e = nullptr;
        if (!arv_camera_is_frame_rate_available(m_camera, &e) || !Take(e).empty()) {
            // A camera without a frame rate setting runs at its own pace.
            const double rate = m_rate > 0 ? m_rate : 25.0;
            return {float(rate)};
        }
        double lo = 0, hi = 0;
        arv_camera_get_frame_rate_bounds(m_camera, &lo, &hi, &e);
        if (!Take(e).empty())
            return {};
        return GenicamFrameRates(lo, hi);
    }

    // Sets binning, the centred region and the pixel format for frames of width x height.
    bool Configure(int bin, int width, int height, ULONG lucamFormat, FLOAT rate) {
        GError* e = nullptr;
        if (m_binning) {
            arv_camera_set_binning(m_camera, bin, bin, &e);
            if (!Take(e).empty()) {
                // Without binning the region comes from the sensor itself.
                arv_camera_set_binning(m_camera, 1, 1, &e);
                Take(e);
            }
        }
        // The pixel format first: it may change the region's limits.
        std::vector<ArvPixelFormat> wanted;
        if (lucamFormat == LUCAM_PF_16)
            wanted = {ARV_PIXEL_FORMAT_MONO_16, ARV_PIXEL_FORMAT_MONO_12, kMono12p,
                      ARV_PIXEL_FORMAT_MONO_12_PACKED, ARV_PIXEL_FORMAT_MONO_8};
        else if (lucamFormat == LUCAM_PF_8)
            wanted = {ARV_PIXEL_FORMAT_MONO_8};
        else
            wanted = {ARV_PIXEL_FORMAT_RGB_8_PACKED, ARV_PIXEL_FORMAT_BGR_8_PACKED, ARV_PIXEL_FORMAT_MONO_8,
                      ARV_PIXEL_FORMAT_MONO_16};
        guint n = 0;
        gint64* available = arv_camera_dup_available_pixel_formats(m_camera, &n, &e);
        Take(e);
        ArvPixelFormat chosen = 0;
        for (ArvPixelFormat f : wanted) {
            for (guint i = 0; available && i < n && !chosen; ++i)
                if (ArvPixelFormat(available[i]) == f)
                    chosen = f;
            if (chosen)
                break;
        }
        g_free(available);
        if (!chosen)
            return false;
        arv_camera_set_pixel_format(m_camera, chosen, &e);
        if (!Take(e).empty())
            return false;
        int lo = 0, maxW = 0, maxH = 0;
        arv_camera_get_width_bounds(m_camera, &lo, &maxW, &e);
        Take(e);
        arv_camera_get_height_bounds(m_camera, &lo, &maxH, &e);
        Take(e);
        // Offsets before the size grows would leave the sensor: the region is set from the corner.
        arv_camera_set_region(m_camera, 0, 0, std::min(width, maxW), std::min(height, maxH), &e);
        Take(e);
        if (width > maxW || height > maxH)
            return false;
        arv_camera_set_region(m_camera, (maxW - width) / 2, (maxH - height) / 2, width, height, &e);
        if (!Take(e).empty())
            return false;
        int x = 0, y = 0, w = 0, h = 0;
        arv_camera_get_region(m_camera, &x, &y, &w, &h, &e);
        if (!Take(e).empty() || w != width || h != height)
            return false;
        if (rate > 0 && arv_camera_is_frame_rate_available(m_camera, &e)) {
            arv_camera_set_frame_rate(m_camera, rate, &e);
            if (!Take(e).empty())
                return false;
        }
        Take(e);
        std::lock_guard lock(m_mutex);
        m_width = width;
        m_height = height;
        m_pixelFormat = chosen;
        m_rate = FLOAT(CurrentRate());
        return true;
    }

    bool StartStream(HWND display) {
        GError* e = nullptr;
        const guint payload = arv_camera_get_payload(m_camera, &e);
        if (!Take(e).empty() || payload == 0)
            return false;
        ArvStream* stream = arv_camera_create_stream(m_camera, nullptr, nullptr, &e);
        if (!stream || !Take(e).empty()) {
            if (stream)
                g_object_unref(stream);
            return false;
        }
        for (int i = 0; i < kStreamBuffers; ++i)
            arv_stream_push_buffer(stream, arv_buffer_new_allocate(payload));
        {
            std::lock_guard lock(m_mutex);
            m_display = display;
        }
        g_signal_connect(stream, "new-buffer", G_CALLBACK(&GenicamCamera::OnNewBuffer), this);
        arv_stream_set_emit_signals(stream, TRUE);
        arv_camera_set_acquisition_mode(m_camera, ARV_ACQUISITION_MODE_CONTINUOUS, &e);
        Take(e);
        {
            std::lock_guard lock(m_streamMutex);
            m_stream = stream;
        }
        arv_camera_start_acquisition(m_camera, &e);
        if (!Take(e).empty()) {
            StopStream();
            return false;
        }
        return true;
    }

    void StopStream() {
        ArvStream* stream = nullptr;
        {
            std::lock_guard lock(m_streamMutex);
            stream = m_stream;
        }
        if (!stream)
            return;
        GError* e = nullptr;
        arv_camera_stop_acquisition(m_camera, &e);
        Take(e);
        arv_stream_set_emit_signals(stream, FALSE);
        guint64 completed = 0, failures = 0, underruns = 0;
        arv_stream_get_statistics(stream, &completed, &failures, &underruns);
        {
            std::lock_guard lock(m_streamMutex);
            m_stream = nullptr;
            m_underrunsBefore += underruns;
        }
        // Ends the stream's thread (it may be inside OnNewBuffer until then).
        g_object_unref(stream);
    }

    // Aravis's stream thread: a filled buffer waits. Only the newest of the waiting frames is handed
    // on; the others count as dropped.
    static void OnNewBuffer(ArvStream* stream, gpointer self) {
        auto* cam = static_cast<GenicamCamera*>(self);
        ArvBuffer* newest = nullptr;
        while (ArvBuffer* b = arv_stream_try_pop_buffer(stream)) {
            if (newest) {
                if (arv_buffer_get_status(newest) == ARV_BUFFER_STATUS_SUCCESS)
                    ++cam->m_dropped;
                else
                    ++cam->m_failed;
                arv_stream_push_buffer(stream, newest);
            }
            newest = b;
        }
        if (!newest)
            return;
        cam->Deliver(newest);
        arv_stream_push_buffer(stream, newest);
    }

    void Deliver(ArvBuffer* buffer) {
        if (arv_buffer_get_status(buffer) != ARV_BUFFER_STATUS_SUCCESS) {
            ++m_failed;
            return;
        }
        std::map<LONG, std::pair<LucamStreamingCallback, void*>> callbacks;
        std::map<LONG, std::pair<LucamRgbPreviewCallback, void*>> previews;
        HWND display;
        LONG dx, dy;
        int width, height;
        ArvPixelFormat format;
        {
            std::lock_guard lock(m_mutex);
            callbacks = m_callbacks;
            previews = m_previews;
            display = m_display;
            dx = m_dx;
            dy = m_dy;
            width = m_width;
            height = m_height;
            format = m_pixelFormat;
        }
        size_t size = 0;
        const auto* data = static_cast<const uint8_t*>(arv_buffer_get_image_data(buffer, &size));
        const size_t needed = ImageBytes(format, size_t(width), size_t(height));
        if (arv_buffer_get_payload_type(buffer) != ARV_BUFFER_PAYLOAD_TYPE_IMAGE || !data ||
            arv_buffer_get_image_width(buffer) != width || arv_buffer_get_image_height(buffer) != height ||
            arv_buffer_get_image_pixel_format(buffer) != format || needed == 0 || size < needed) {
            // Another size or format than the one set: never handed on as a frame.
            ++m_rejected;
            return;
        }
        const size_t n = size_t(width) * size_t(height);
        if (!callbacks.empty()) {
            if (!IsMono(format)) {
                ++m_rejected;
                return;
            }
            m_grey.resize(n);
            ToGrey16(format, data, n, m_grey.data());
            for (auto& [id, cb] : callbacks)
                cb.first(cb.second, reinterpret_cast<BYTE*>(m_grey.data()), ULONG(n * 2));
        }
        if (display || !previews.empty()) {
            m_rgb.resize(n * 3);
            if (format == ARV_PIXEL_FORMAT_RGB_8_PACKED) {
                std::memcpy(m_rgb.data(), data, n * 3);
            } else if (format == ARV_PIXEL_FORMAT_BGR_8_PACKED) {
                for (size_t i = 0; i < n; ++i) {
                    m_rgb[3 * i] = data[3 * i + 2];
                    m_rgb[3 * i + 1] = data[3 * i + 1];
                    m_rgb[3 * i + 2] = data[3 * i];
                }
            } else {
                m_grey.resize(n);
                ToGrey16(format, data, n, m_grey.data());
                for (size_t i = 0; i < n; ++i)
                    m_rgb[3 * i] = m_rgb[3 * i + 1] = m_rgb[3 * i + 2] = uint8_t(m_grey[i] >> 8);
            }
            for (auto& [id, cb] : previews)
                cb.first(cb.second, m_rgb.data(), ULONG(width), ULONG(height), LUCAM_PF_24);
            if (display)
                display->ShowFrame(m_rgb.data(), ULONG(width), ULONG(height), dx, dy);
        }
        ++m_delivered;
    }

    void Report(const std::string& text) {
        if (m_report)
            m_report(text);
    }

    const std::string m_device;
    const GenicamRole m_role;
    std::function<void(const std::string&)> m_report;
    bool m_tried = false;
    ArvCamera* m_camera = nullptr;
    std::string m_serial;
    int m_sensorWidth = 0, m_sensorHeight = 0;
    bool m_binning = false;
    bool m_gainInDb = false;
    bool m_colour = false;

    std::mutex m_mutex; // guards the members below up to m_dy
    LUCAM_FRAME_FORMAT m_format{};
    FLOAT m_rate = 0;
    int m_width = 0, m_height = 0;
    ArvPixelFormat m_pixelFormat = 0;
    std::map<LONG, std::pair<LucamStreamingCallback, void*>> m_callbacks;
    std::map<LONG, std::pair<LucamRgbPreviewCallback, void*>> m_previews;
    LONG m_nextId = 0;
    HWND m_display = nullptr;
    LONG m_dx = 0, m_dy = 0;

    mutable std::mutex m_streamMutex;
    ArvStream* m_stream = nullptr;
    std::atomic<uint64_t> m_underrunsBefore{0};

    // Stream thread only.
    std::vector<uint16_t> m_grey;
    std::vector<uint8_t> m_rgb;

    std::atomic<uint64_t> m_delivered{0}, m_dropped{0}, m_rejected{0}, m_failed{0};
};

} // namespace

std::vector<float> GenicamFrameRates(double minimum, double maximum) {
    static constexpr float kSteps[] = {1.0f,  2.0f,  3.75f, 5.0f,  7.5f,  10.0f, 15.0f, 20.0f,
                                       25.0f, 30.0f, 40.0f, 50.0f, 60.0f, 75.0f, 100.0f};
    std::vector<float> rates;
    if (!(maximum > 0) || !std::isfinite(maximum))
        return rates;
    for (float r : kSteps)
        if (r >= minimum - 1e-6 && r <= maximum + 1e-6)
            rates.push_back(r);
    if (rates.empty())
        rates.push_back(float(std::min(maximum, 100.0)));
    return rates;
}

std::unique_ptr<CameraBackend> MakeGenicamCameraBackend(const std::string& device, GenicamRole role,
                                                        std::function<void(const std::string&)> report) {
    return std::make_unique<GenicamCamera>(device, role, std::move(report));
}

void* GenicamNativeCamera(CameraBackend* backend) {
    auto* camera = dynamic_cast<GenicamCamera*>(backend);
    return camera ? camera->Native() : nullptr;
}
