// Natives of ControlInterfaceImpl: the application's link to the Wi-Fi
// supplicant, a command connection for requests and an event connection
// whose messages a receive loop on the opening thread hands to
// fireUnsolicitedEvent.
#include "base_internal.h"
#include "jnu.h"
#include "wpa_session.h"

#include <cstdint>
#include <cstdio>

#define WPA_NATIVE(name)                                                                                     \
    Java_de_zavrio_quilmar_io_linux_comm_channel_wifi_wpasupplicant_control_impl_ControlInterfaceImpl_##name

extern "C" {
uint8_t nativeDebug_wpaCtrl; // debug output when 1
}

namespace
{

constexpr const char *kControlInterfaceException =
    "de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.ControlInterfaceException";
constexpr const char *kControlInterfaceTimeoutException =
    "de.zavrio.quilmar.io.linux.comm.channel.wifi.wpasupplicant.control.ControlInterfaceTimeoutException";
constexpr const char *kIllegalStateException = "java.lang.IllegalStateException";
constexpr const char *kAlreadyClosed = "wpa control interface is already closed";

// A request's reply: 2047 bytes at most, plus the terminating NUL.
constexpr size_t kReplyMax = 2047;
// An event message: 255 bytes at most, plus the terminating NUL.
constexpr size_t kEventMax = 255;

jmethodID MID_fireUnsolicitedEvent;
jfieldID FID_wpaControlStopRequest;
jfieldID FID_controlInterface;

void debug(const char *text)
{
    if (nativeDebug_wpaCtrl == 1) {
        std::printf("%s\n", text);
        std::fflush(stdout);
    }
}

struct LoopContext {
    JNIEnv *env;
    jobject self;
};

bool stop_requested(void *ctx)
{
    auto *c = static_cast<LoopContext *>(ctx);
    return c->env->GetBooleanField(c->self, FID_wpaControlStopRequest) == JNI_TRUE;
}

// fireEvent: a Java string of the message to fireUnsolicitedEvent. When the
// callback throws, the loop ends and the exception reaches the caller of
// openEventInterface: no further JNI call may run with it pending.
bool fire_event(void *ctx, char *msg, size_t)
{
    auto *c = static_cast<LoopContext *>(ctx);
    JNU_LocalRef text(c->env, base_new_string(c->env, msg));
    if (text.get() == nullptr) {
        return !c->env->ExceptionCheck();
    }
    c->env->CallVoidMethod(c->self, MID_fireUnsolicitedEvent, text.get());
    return !c->env->ExceptionCheck();
}

void recv_failed(void *)
{
    debug("receiveMsgs() problem during wpa_ctrl_recv");
}

void receiveMsgs(JNIEnv *env, jobject self, wpa_session_event *loop)
{
    debug("receiveMsgs()");
    LoopContext ctx{env, self};
    const wpa_session_end end =
        wpa_session_event_loop(loop, kEventMax, {stop_requested, fire_event, recv_failed, &ctx});
    if (end == wpa_session_end::stop_request) {
        debug("wpaCtrl: stoped due to stopRequest");
    } else {
        // Closed, or the event callback threw: both end on an event.
        debug("wpaCtrl: stoped due to ctrlEvent");
    }
}

} // namespace

extern "C" {

JNIEXPORT void JNICALL WPA_NATIVE(setNativeLogging)(JNIEnv *, jobject, jboolean on)
{
    nativeDebug_wpaCtrl = on;
}

JNIEXPORT void JNICALL WPA_NATIVE(initNativeIDs)(JNIEnv *env, jclass cls)
{
    MID_fireUnsolicitedEvent = JNU_GetMethodID(env, cls, "fireUnsolicitedEvent", "(Ljava/lang/String;)V");
    // Each lookup runs even when an earlier one failed; the first
    // IllegalArgumentException stays the one raised.
    jthrowable first = env->ExceptionOccurred();
    env->ExceptionClear();
    FID_wpaControlStopRequest = JNU_GetFieldID(env, cls, "stopRequest", "Z");
    if (first == nullptr) {
        first = env->ExceptionOccurred();
    }
    env->ExceptionClear();
    FID_controlInterface = JNU_GetFieldID(env, cls, "controlInterface", "Ljava/lang/String;");
    if (first != nullptr) {
        env->ExceptionClear();
        env->Throw(first);
        env->DeleteLocalRef(first);
    }
}

JNIEXPORT void JNICALL WPA_NATIVE(openCommandInterface)(JNIEnv *env, jobject, jstring path)
{
    if (!base_require(env, path, "path")) {
        return;
    }
    BaseUtf p(env, path);
    if (p.get() == nullptr) {
        return;
    }
    if (wpa_session_command_open(p.get()) != WPA_SESSION_OK) {
        JNU_ThrowByName(env, kControlInterfaceException,
                        "can not open WPA supplicant control interface (ctrlCommand)");
    }
}

JNIEXPORT void JNICALL WPA_NATIVE(openEventInterface)(JNIEnv *env, jobject self, jstring path)
{
    if (!base_require(env, path, "path")) {
        return;
    }
    wpa_session_event *loop = nullptr;
    int res = WPA_SESSION_OPEN_FAILED;
    {
        BaseUtf p(env, path);
        if (p.get() == nullptr) {
            return;
        }
        res = wpa_session_event_open(p.get(), &loop);
    }
    switch (res) {
    case WPA_SESSION_OK:
        receiveMsgs(env, self, loop);
        return;
    case WPA_SESSION_OPEN_FAILED:
        JNU_ThrowByName(env, kControlInterfaceException,
                        "can not open WPA supplicant control interface (ctrlEvent)");
        return;
    case WPA_SESSION_TIMEOUT:
        JNU_ThrowByName(env, kControlInterfaceTimeoutException,
                        "timout during trying to attach wpa eventListener");
        return;
    default:
        JNU_ThrowByName(env, kControlInterfaceException, "failed to attach wpa eventListener");
        return;
    }
}

JNIEXPORT void JNICALL WPA_NATIVE(closeEventInterface)(JNIEnv *env, jobject)
{
    debug("closeEventInterface()");
    switch (wpa_session_event_close()) {
    case WPA_SESSION_NOT_OPEN:
        JNU_ThrowByName(env, kIllegalStateException, kAlreadyClosed);
        return;
    case WPA_SESSION_OK:
        return;
    case WPA_SESSION_TIMEOUT:
        JNU_ThrowByName(env, kControlInterfaceTimeoutException,
                        "timout during trying to deattaching wpa control interface (ctrlEvent)");
        return;
    default:
        JNU_ThrowByName(env, kControlInterfaceException,
                        "failed to deattach wpa control interface (ctrlEvent)");
        return;
    }
}

JNIEXPORT void JNICALL WPA_NATIVE(closeCommandInterface)(JNIEnv *, jobject)
{
    debug("closeCommandInterface()");
    wpa_session_command_close();
}

JNIEXPORT jstring JNICALL WPA_NATIVE(wpaCtrlRequestNative)(JNIEnv *env, jobject, jstring command)
{
    if (!base_require(env, command, "command")) {
        return nullptr;
    }
    char reply[kReplyMax + 1];
    size_t reply_len = kReplyMax;
    int res = 0;
    {
        BaseUtf cmd(env, command);
        if (cmd.get() == nullptr) {
            return nullptr;
        }
        const auto cmd_len = static_cast<size_t>(env->GetStringUTFLength(command));
        res = wpa_session_command_request(cmd.get(), cmd_len, reply, &reply_len);
    }
    switch (res) {
    case WPA_SESSION_OK:
        reply[reply_len] = '\0';
        return base_new_string(env, reply);
    case WPA_SESSION_NOT_OPEN:
        JNU_ThrowByName(env, kIllegalStateException, kAlreadyClosed);
        return nullptr;
    case WPA_SESSION_TIMEOUT:
        JNU_ThrowByName(env, kControlInterfaceTimeoutException,
                        "timout during wpa control request event sending");
        return nullptr;
    default:
        JNU_ThrowByName(env, kControlInterfaceException, "send or receive of wpa control request failed");
        return nullptr;
    }
}

} // extern "C"
