// JNI helpers shared by the units of gpsnative.
#pragma once

#include <jni.h>

// A local reference deleted on every path.
class GPS_LocalRef
{
  public:
    GPS_LocalRef(JNIEnv *env, jobject ref) : env_(env), ref_(ref) {}
    ~GPS_LocalRef()
    {
        if (ref_ != nullptr) {
            env_->DeleteLocalRef(ref_);
        }
    }
    GPS_LocalRef(const GPS_LocalRef &) = delete;
    GPS_LocalRef &operator=(const GPS_LocalRef &) = delete;
    jobject get() const { return ref_; }

  private:
    JNIEnv *env_;
    jobject ref_;
};

// Runs the lookups of one initialisation entry one after the other without
// stopping at a failure. The VM forbids further calls while an exception is
// pending, so each failure's exception is set aside, and the first one is
// raised again when the batch ends.
class GPS_LookupBatch
{
  public:
    explicit GPS_LookupBatch(JNIEnv *env) : env_(env) {}
    ~GPS_LookupBatch()
    {
        if (first_ != nullptr) {
            env_->ExceptionClear();
            env_->Throw(first_);
            env_->DeleteLocalRef(first_);
        }
    }
    GPS_LookupBatch(const GPS_LookupBatch &) = delete;
    GPS_LookupBatch &operator=(const GPS_LookupBatch &) = delete;

    // Call after each lookup; passes the result through.
    template <typename T> T operator()(T result)
    {
        if (env_->ExceptionCheck()) {
            jthrowable pending = env_->ExceptionOccurred();
            env_->ExceptionClear();
            if (first_ == nullptr) {
                first_ = pending;
            } else {
                env_->DeleteLocalRef(pending);
            }
        }
        return result;
    }
    bool failed() const { return first_ != nullptr; }

  private:
    JNIEnv *env_;
    jthrowable first_ = nullptr;
};

// Text for the VM's modified UTF-8: NMEA is ASCII, so an octet above 0x7F
// (line noise that happened to pass the checksum) becomes '?' instead of an
// invalid sequence. `out` holds `size` bytes.
void GPS_asciiCopy(char *out, unsigned long size, const char *text);
