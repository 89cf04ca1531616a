// Platform-private extension points. The system (tamsel.ax, Tamsel) never includes this header;
// the platform's own servers (dvfilters.so), its tools and the tests do.
#pragma once

#include <dshow.h>

#include <string>
#include <vector>

// Environment variable naming the platform's state directory (the registry database lives there).
// Unset: $XDG_DATA_HOME/tamsel-platform, or ~/.local/share/tamsel-platform (home from HOME, else
// the password database), else $XDG_RUNTIME_DIR/tamsel-platform; never a shared directory.
#define PLATFORM_STATE_DIR_ENV "PLATFORM_STATE_DIR"

// Environment variable naming the directory of the machine-wide registry, which every user's
// programs read beneath their own (a package registers there at install time). Unset:
// PLATFORM_MACHINE_DIR_DEFAULT.
#define PLATFORM_MACHINE_DIR_ENV "PLATFORM_MACHINE_DIR"
#define PLATFORM_MACHINE_DIR_DEFAULT "/var/lib/tamsel-platform"

namespace platform {

// Creates an instance of a class that lives in libplatform.so itself (graph manager, allocator,
// mappers, clock, device enumerator). Such classes need no registry entry.
using ClassCreator = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

// Makes a class creatable by CoCreateInstance without the registry. Later registrations of the
// same class identifier replace earlier ones. Thread-safe.
PLATFORM_API void RegisterBuiltinClass(const CLSID& clsid, ClassCreator create);

// Registers a builtin class from a static object's construction inside libplatform.so.
struct BuiltinClassRegistrar {
    BuiltinClassRegistrar(const CLSID& clsid, ClassCreator create) {
        RegisterBuiltinClass(clsid, create);
    }
};

// The directory of the state store (created 0700 if missing), without a trailing slash; "" when
// no directory is known for this user (no HOME, no password entry, no runtime directory).
PLATFORM_API const char* StateDirectory();

// The directory of the machine-wide registry (registry.db there), without a trailing slash.
PLATFORM_API std::string MachineDirectory();

// From now on this process's registry is the machine-wide store itself, written as a user's own
// store is (regsvr --machine): created when missing (directory 0755, file 0644), nothing read
// beneath it, and the platform's own servers are not registered into it (each user's programs
// register those into their own store). Call it before anything uses the registry.
PLATFORM_API void UseMachineRegistry();

// Opens (creating it when missing) and checks the current state directory's registry store:
// ERROR_SUCCESS or the failure, explained by RegistryFailureText.
PLATFORM_API LONG CheckRegistry();

// The calling thread's last failure concerning the registry store itself (its files, the disk,
// locking, damage), naming the file; "" when there was none.
PLATFORM_API std::string RegistryFailureText();

// When the store is damaged (ERROR_BADDB), moves its files aside as registry.db.damaged-<time>
// (nothing is deleted) and creates a fresh, empty store. *movedTo names the moved database, ""
// when the store was sound and left alone. The status of the store afterwards.
PLATFORM_API LONG RepairRegistry(std::string* movedTo);

// Why one of the platform's own in-process servers (dvfilters.so) could not be registered in
// this process's store; "" when they are all registered.
PLATFORM_API std::string PlatformServersFailure();

// The library path of every class registered with an in-process server (the default value of
// CLSID\{...}\InprocServer32), in key order; key names too long for a class identifier are
// skipped, and the walk ends at the first key that cannot be read.
PLATFORM_API std::vector<std::string> RegisteredServerPaths();

}  // namespace platform

// ---- device providers -------------------------------------------------------------------------
// A device provider lists the devices of a category at enumeration time. The system device
// enumerator asks, in this order: the providers registered in-process with RegisterDeviceProvider
// (tests), then every provider class listed as a subkey "{provider clsid}" of
// HKEY_CLASSES_ROOT\DeviceProviders\{category}, created with CoCreateInstance for
// IID_IDeviceProvider (platform servers such as dvfilters.so register theirs there).
//
// Each device becomes a moniker whose property bag holds "FriendlyName" (VT_BSTR),
// "CLSID" (VT_BSTR, braces text of the filter class) and "DevicePath" (VT_BSTR). BindToObject
// creates the filter class and, if it offers IPersistPropertyBag, calls Load with that bag so the
// filter knows which device it drives.
DEFINE_GUID(IID_IDeviceProvider, 0x7a4c2f61, 0x3d1e, 0x4b8a, 0x9c, 0x55, 0x1e, 0x2f, 0x60, 0x7d, 0x8b, 0x93);

struct IDeviceProvider : public IUnknown {
    // Takes a snapshot of the category's devices and returns how many there are (0 for a
    // category the provider does not serve).
    virtual HRESULT STDMETHODCALLTYPE Snapshot(REFCLSID category, ULONG* count) = 0;
    // Device index of the last snapshot: friendly name, filter class and device path; both texts
    // are new BSTRs owned by the caller.
    virtual HRESULT STDMETHODCALLTYPE GetDevice(ULONG index, BSTR* friendlyName, CLSID* filterClsid,
                                                BSTR* devicePath) = 0;
};

namespace platform {
// Adds an in-process provider for the category (AddRef'd and kept until UnregisterDeviceProvider).
PLATFORM_API void RegisterDeviceProvider(const CLSID& category, IDeviceProvider* provider);
PLATFORM_API void UnregisterDeviceProvider(const CLSID& category, IDeviceProvider* provider);
}  // namespace platform

// ---- the reference tone -----------------------------------------------------------------------
// "Reference Tone" (dvfilters.so): a source filter whose output pin "Output" gives 48 kHz 16-bit
// stereo PCM (MEDIATYPE_Audio / MEDIASUBTYPE_PCM / FORMAT_WaveFormatEx), one sample per DV frame
// (in 525/60 1600, 1602, 1602, 1602, 1602 sample frames, repeating; see SetStandard for 625/50),
// stamped with that frame's times,
// for an audio input pin of "DV Muxer" ("Stream 1"). Both channels carry a 1 kHz sine that runs on
// in phase from sample to sample, or silence. Registered in CLSID_LegacyAmFilterCategory.
DEFINE_GUID(CLSID_ReferenceTone, 0x6d1c4e70, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
DEFINE_GUID(IID_IReferenceTone, 0x6d1c4e71, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);

// The tone's level in dB relative to full scale, the convention of line-up tone: 0 dBFS is a sine
// whose peaks reach full scale (32767), so the SMPTE reference -20 dBFS peaks at 3277 and the EBU
// -18 dBFS at 4125; each is equally the sine's RMS relative to a full-scale sine's. Any thread; a
// change applies from the next sample the filter delivers.
#define REFERENCE_TONE_DEFAULT_LEVEL (-20.0)
#define REFERENCE_TONE_MIN_LEVEL (-90.0)

struct IReferenceTone : public IUnknown {
    // E_INVALIDARG for a level above 0 dBFS, below REFERENCE_TONE_MIN_LEVEL or not a number.
    virtual HRESULT STDMETHODCALLTYPE SetLevel(double dBFS) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetLevel(double* dBFS) = 0;
    // TRUE: silence (every sample zero) instead of the tone; the level is kept.
    virtual HRESULT STDMETHODCALLTYPE SetSilent(BOOL silent) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSilent(BOOL* silent) = 0;
    // 48000 (the default) or 32000 sample frames a second, for the muxer's audio of that rate:
    // at 32 kHz one sample per frame holds 1067 or 1068 sample frames (16016 in fifteen frames,
    // the short one first). Only while stopped and unconnected (VFW_E_NOT_STOPPED,
    // VFW_E_ALREADY_CONNECTED); E_INVALIDARG for another rate.
    virtual HRESULT STDMETHODCALLTYPE SetSampleRate(LONG samplesPerSecond) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSampleRate(LONG* samplesPerSecond) = 0;
    // The DV system whose frames the samples follow: REFERENCE_BARS_525_60 (the default; the
    // counts above) or REFERENCE_BARS_625_50 (1920 sample frames a frame at 48 kHz, 1280 at 32 kHz,
    // each sample stamped with its frame's 40 ms). A leader given through ILeaderSound brings its
    // own. Only while stopped (VFW_E_NOT_STOPPED); E_INVALIDARG for another value.
    virtual HRESULT STDMETHODCALLTYPE SetStandard(LONG standard) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStandard(LONG* standard) = 0;
};

// ---- the reference bars -----------------------------------------------------------------------
// "Reference Bars" (dvfilters.so): a source filter of exact test patterns whose output pin
// "Output" gives one picture a frame, stamped with the frame's times, in the system set with
// SetStandard: 720 x 480 at 30000/1001 frames a second (525/60) or 720 x 576 at 25 (625/50).
// The levels are made in Y'CbCr (ITU-R BT.601, 8-bit studio range: Y 16-235, Cb/Cr 16-240), and
// its first type carries them unrounded: MEDIASUBTYPE_UYVY, rows top first, for "DV Video
// Encoder"'s "XForm In". Its second type is RGB24 (bottom-up), the same pictures converted once by
// BT.601, for graphs that want RGB. Registered in CLSID_LegacyAmFilterCategory.
DEFINE_GUID(CLSID_ReferenceBars, 0x6d1c4e72, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
DEFINE_GUID(IID_IReferenceBars, 0x6d1c4e73, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);

// The patterns. SMPTE: colour bars after SMPTE EG 1 (75 % bars, the reverse-blue castellations,
// then -I, 100 % white, +Q, black and the PLUGE steps), without setup (black is Y 16). EBU 75 and
// EBU 100: the eight EBU bars 100/0/75/0 and 100/0/100/0. BLACK: Y 16, Cb and Cr 128. PICTURE: the
// picture file last set with SetPictureFile.
#define REFERENCE_BARS_SMPTE 0
#define REFERENCE_BARS_EBU75 1
#define REFERENCE_BARS_EBU100 2
#define REFERENCE_BARS_BLACK 3
#define REFERENCE_BARS_PICTURE 4
// The systems.
#define REFERENCE_BARS_525_60 0
#define REFERENCE_BARS_625_50 1

// Every Set method works only while the filter is stopped (VFW_E_NOT_STOPPED otherwise), and the
// standard only while the output pin is unconnected (VFW_E_ALREADY_CONNECTED), since it is the
// connection's size and rate. A failed Set leaves everything as it was.
struct IReferenceBars : public IUnknown {
    // One of the patterns above except PICTURE (E_INVALIDARG; SetPictureFile chooses that).
    virtual HRESULT STDMETHODCALLTYPE SetPattern(LONG pattern) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetPattern(LONG* pattern) = 0;
    // Reads a picture file (PNG, JPEG, BMP, TIFF and the like) of the system's size, converts it
    // to Y'CbCr once and makes it the pattern. E_INVALIDARG for a file that cannot be read as a
    // picture, VFW_E_TYPE_NOT_ACCEPTED for a picture of another size.
    virtual HRESULT STDMETHODCALLTYPE SetPictureFile(LPCWSTR path) = 0;
    // REFERENCE_BARS_525_60 (the default) or REFERENCE_BARS_625_50; E_INVALIDARG for another
    // value, VFW_E_TYPE_NOT_ACCEPTED when the pattern is a picture of the other system's size.
    virtual HRESULT STDMETHODCALLTYPE SetStandard(LONG standard) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetStandard(LONG* standard) = 0;
};

// ---- the leader -------------------------------------------------------------------------------
// "Reference Leader" (dvfilters.so): the picture of a tape's leader, frame by frame, for "DV Video
// Encoder"'s "XForm In" (UYVY of the leader's system, as "Reference Bars" gives it: 720 x 480 at
// 29.97 frames a second, or 720 x 576 at 25):
// a list of segments played with one timecode run. Its output pin is "Output". The leader's sound
// comes from "Reference Tone" given the same segments (ILeaderSound), so that both follow the same
// frame numbers. Registered in CLSID_LegacyAmFilterCategory.
DEFINE_GUID(CLSID_ReferenceLeader, 0x6d1c4e76, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
DEFINE_GUID(IID_IReferenceLeader, 0x6d1c4e77, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
DEFINE_GUID(IID_ILeaderSound, 0x6d1c4e78, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);

// The kinds of segment. BARS: a pattern with the line-up tone (when the tone is on). BLACK: black,
// silent. SLATE: the slate's lines over black, silent. COUNTDOWN: a digit each second of timecode
// over a sweeping circle, counting the seconds to the programme: a countdown of n seconds (1 to 8)
// shows n + 2 down to 3, and the frame right after it shows 2 with the two-pop over what follows
// (black in a leader); each digit's first frame carries a one-frame 1 kHz blip, the rest is
// silent. PATTERN: a pattern, silent. IMAGE: a picture file of the system's size, silent.
#define LEADER_BARS 0
#define LEADER_BLACK 1
#define LEADER_SLATE 2
#define LEADER_COUNTDOWN 3
#define LEADER_PATTERN 4
#define LEADER_IMAGE 5
#define LEADER_MAX_COUNTDOWN_SECONDS 8

struct LEADER_SEGMENT {
    LONG kind;        // LEADER_*
    LONG frames;      // how many frames, at least 1
    LONG pattern;     // BARS and PATTERN: a REFERENCE_BARS_* pattern other than PICTURE
    LPCWSTR file;     // IMAGE: the picture file; BARS: a picture file in the pattern's place, or
                      // null; null otherwise
};

// Where the leader sits in the stream: frame numbers of the timecode (see the DV muxer's start),
// counting from 00:00:00;00 (00:00:00:00 without drop-frame).
struct LEADER_PLACE {
    LONG streamStart;  // the label of the stream's first sample (the pre-roll's first frame)
    LONG leaderStart;  // the label of the first segment's first frame; frames before it (the
                       // pre-roll) show the first segment, frames after the last segment black
    BOOL dropFrame;    // drop-frame counting (525/60 only)
    LONG standard;     // REFERENCE_BARS_525_60 (zero) or REFERENCE_BARS_625_50: the system whose
                       // frames and timecode these are (625/50: 720 x 576, 25 labels a second,
                       // never drop-frame)
};

// Every Set method works only while the filter is stopped (VFW_E_NOT_STOPPED); a failed one
// leaves everything as it was.
struct IReferenceLeader : public IUnknown {
    // E_INVALIDARG for no segment, an unknown kind, a count below 1, a countdown above
    // LEADER_MAX_COUNTDOWN_SECONDS seconds, an IMAGE without its file or an unknown standard; an
    // IMAGE's file is read here, with IReferenceBars::SetPictureFile's failures. The place's
    // standard is the output's: VFW_E_ALREADY_CONNECTED for another while it is connected.
    virtual HRESULT STDMETHODCALLTYPE SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place) = 0;
    // The slate's lines, separated by '\n' (UTF-16; any script the fonts cover).
    virtual HRESULT STDMETHODCALLTYPE SetSlate(LPCWSTR lines) = 0;
    // TRUE: the running timecode in a box in the lower third of every frame.
    virtual HRESULT STDMETHODCALLTYPE SetBurnIn(BOOL on) = 0;
};

// On "Reference Tone": from the next run on its sound follows the leader (see LEADER_SEGMENT):
// the tone over BARS when `tone` is TRUE, the blips and the two-pop of a countdown at the level
// set, silence elsewhere; one sample a frame of the place's standard (1920 sample frames at 48 kHz
// in 625/50). VFW_E_NOT_STOPPED unless stopped; E_INVALIDARG as SetLeader.
struct ILeaderSound : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetLeader(const LEADER_SEGMENT* segments, LONG count, const LEADER_PLACE* place,
                                                BOOL tone) = 0;
};

// ---- where a picture changed -------------------------------------------------------------------
// On the platform's media samples (those of its Memory Allocator): the rows of a video sample's
// picture, top first, that hold every difference from the picture of the sample before it, the
// one delivered before it on the same pin whose media stop time is this one's media start. A
// source that knows where its pictures change says so ("Reference Leader"); a filter that keeps
// the picture before ("DV Video Encoder") may then compare those rows alone. It compares every
// row when the rows are unknown, when the sample has no media times or is a discontinuity, or
// when the sample it took before is not that one. Unknown on every sample handed out.
DEFINE_GUID(IID_ISampleChangedRows, 0x6d1c4e79, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
struct ISampleChangedRows : public IUnknown {
    // Rows [first, end), 0 <= first <= end (first == end: the same picture); E_INVALIDARG
    // otherwise, the rows then unknown.
    virtual HRESULT STDMETHODCALLTYPE SetChangedRows(LONG first, LONG end) = 0;
    // S_OK and the rows when they are known, S_FALSE when not.
    virtual HRESULT STDMETHODCALLTYPE GetChangedRows(LONG* first, LONG* end) = 0;
};

// ---- the DV stream's format ----------------------------------------------------------------
// The picture's aspect, which "DV Video Encoder" signals in what it encodes and "DV Muxer" in the
// VAUX source control pack of every frame (DISP: 000 4:3, 111 16:9 full format, the consumer
// codes). Both take it only while stopped (VFW_E_NOT_STOPPED) and the muxer only while its output
// is unconnected (VFW_E_ALREADY_CONNECTED: the connection's DVINFO says it); E_INVALIDARG for
// another value.
DEFINE_GUID(IID_IDVAspect, 0x6d1c4e74, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
#define DV_ASPECT_4_3 0
#define DV_ASPECT_16_9 1
struct IDVAspect : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetAspect(LONG aspect) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAspect(LONG* aspect) = 0;
};

// The audio "DV Muxer" writes, in the two modes of consumer DV: 48 kHz 16-bit linear on two
// channels (the default), or 32 kHz 12-bit non-linear on four channels in two stereo pairs, the
// pair of "Stream 1" on channels 1 and 2 and silence on 3 and 4 (as a camcorder records its
// second audio mode, leaving 3 and 4 for dubbing). Both locked to the video. "Stream 1" then
// takes PCM of that rate (16-bit stereo). Only while stopped and with "Stream 1" and "Output"
// unconnected (VFW_E_NOT_STOPPED, VFW_E_ALREADY_CONNECTED); E_INVALIDARG for another value.
DEFINE_GUID(IID_IDVAudioMode, 0x6d1c4e75, 0x2b93, 0x4f5a, 0x8e, 0x17, 0xc4, 0x3a, 0x90, 0x5b, 0x21, 0xd8);
#define DV_AUDIO_48K_2CH 0
#define DV_AUDIO_32K_4CH 1
struct IDVAudioMode : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE SetAudioMode(LONG mode) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetAudioMode(LONG* mode) = 0;
};

// ---- the DV device's stream -------------------------------------------------------------------
// A private interface of "Microsoft DV Camera and VCR" (dvfilters.so) beside the published deck
// control (IAMExtDevice, IAMExtTransport, IAMTimecodeReader): an exact number of frames for the
// device, and how the stream goes.
DEFINE_GUID(IID_IDVDeviceStream, 0x2f8e5c31, 0x7a4d, 0x4e19, 0xb6, 0x02, 0x9d, 0x3c, 0x51, 0xe8, 0x0a, 0x47);

// Why "Microsoft DV Camera and VCR" refused a deck-control command (IAMExtTransport::put_Mode),
// beside the published Win32 statuses it also answers (ERROR_NOT_READY: no tape in;
// ERROR_WRITE_PROTECT: the tape is write-protected; ERROR_ACCESS_DENIED: the user may not open
// the device's files).
// The unit takes no command from the bus: it is under its own buttons (local mode).
#define DV_E_LOCAL_MODE ((HRESULT)0x8004F101L)
// The unit has no tape recorder now: a camcorder in camera mode.
#define DV_E_NO_TAPE_RECORDER ((HRESULT)0x8004F102L)
// The unit records the other television system than the stream's (a 625/50 deck sent 525/60
// frames, or the reverse); it would record nothing. IDVDeviceStream::GetDeviceStandard says
// which it takes.
#define DV_E_WRONG_STANDARD ((HRESULT)0x8004F103L)

// The television systems of DV25 (IDVDeviceStream::GetDeviceStandard), with the same values as
// REFERENCE_BARS_525_60 and REFERENCE_BARS_625_50: 720 x 480 at 30000/1001 frames a second, and
// 720 x 576 at 25.
#define DV_STANDARD_525_60 0
#define DV_STANDARD_625_50 1

struct DVStreamProgress {
    LONGLONG framesSent;      // frames the device took since the graph last left the stopped state
    LONGLONG framesRepeated;  // ticks meanwhile at which the device had no new frame (it shows the
                              // last one again); -1 when the device does not tell
    LONGLONG framesRecorded;  // frames it recorded meanwhile; -1 when the device does not tell
    LONGLONG longestGap;      // ticks in the longest unbroken run of repeated ticks; -1 unknown
    LONGLONG longestGapAfter; // frames the device had taken when that run began; -1 unknown
};

struct IDVDeviceStream : public IUnknown {
    // From the next run on, the device takes exactly `frames` frames (0: no limit, the default):
    // once the last of them has left for the device it posts EC_COMPLETE and refuses every later
    // sample (S_FALSE), so the source stops. VFW_E_WRONG_STATE unless stopped; E_INVALIDARG for
    // a negative count.
    virtual HRESULT STDMETHODCALLTYPE SetFrameBudget(LONGLONG frames) = 0;
    // Any thread. Asks the device (at most a frame's wait) for the repeated and recorded counts.
    virtual HRESULT STDMETHODCALLTYPE GetProgress(DVStreamProgress* progress) = 0;
    // Any thread, also from a thread other than the one blocked in the device: the program is
    // stopping. Every wait of the device (opening it, deck control) ends promptly with E_ABORT and
    // every later call does so at once, except the deck control command to stop, which is still
    // sent so a unit put into record can be stopped. Not undone; S_OK.
    virtual HRESULT STDMETHODCALLTYPE Interrupt() = 0;
    // Any thread, whether or not the graph runs, like deck control: asks the device which system
    // it records (a unit on IEEE 1394 answers its tape recorder's INPUT SIGNAL MODE; the virtual
    // deck says what it was started with). *standard is DV_STANDARD_525_60 or
    // DV_STANDARD_625_50. E_POINTER; E_NOTIMPL when the device cannot tell; the failures of
    // IAMExtTransport::put_Mode when it could not be asked (ERROR_NOT_READY is not among them:
    // a unit answers without a tape).
    virtual HRESULT STDMETHODCALLTYPE GetDeviceStandard(LONG* standard) = 0;
};
