// SPDX-License-Identifier: GPL-3.0-or-later
#include "termios_settings.h"

#include <cerrno>

namespace platform::detail {

void makeRaw(termios& t) {
    cfmakeraw(&t);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    // Keep the output rate; everything else in the control flags is set here. No input rate of its own
    // (CIBAUD 0): input follows output, so an arbitrary input rate left from before cannot linger.
    // HUPCL drops DTR on the last close, so a closed port does not look ready to the device.
    t.c_cflag = (t.c_cflag & CBAUD) | CS8 | CREAD | CLOCAL | HUPCL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

namespace {
constexpr tcflag_t kCflagMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CREAD | CLOCAL;
constexpr tcflag_t kIflagMask = IXON | IXOFF | IXANY | INPCK | ISTRIP | ICRNL | INLCR | IGNCR | PARMRK;
constexpr tcflag_t kLflagMask = ICANON | ECHO | ISIG | IEXTEN;
} // namespace

bool sameSettings(const termios& want, const termios& got) {
    return (want.c_cflag & kCflagMask) == (got.c_cflag & kCflagMask) &&
           (want.c_iflag & kIflagMask) == (got.c_iflag & kIflagMask) &&
           (want.c_lflag & kLflagMask) == (got.c_lflag & kLflagMask) &&
           (want.c_oflag & OPOST) == (got.c_oflag & OPOST) && want.c_cc[VMIN] == got.c_cc[VMIN] &&
           want.c_cc[VTIME] == got.c_cc[VTIME] && want.c_cc[VSTART] == got.c_cc[VSTART] &&
           want.c_cc[VSTOP] == got.c_cc[VSTOP];
}

LineSetting differingSetting(const termios& want, const termios& got) {
    const auto differs = [&](tcflag_t mask) { return (want.c_cflag & mask) != (got.c_cflag & mask); };
    if (differs(CSIZE))
        return LineSetting::DataBits;
    if (differs(PARENB | PARODD | CMSPAR) || (want.c_iflag & INPCK) != (got.c_iflag & INPCK))
        return LineSetting::Parity;
    if (differs(CSTOPB))
        return LineSetting::StopBits;
    if (differs(CRTSCTS))
        return LineSetting::RtsCtsFlow;
    if ((want.c_iflag & (IXON | IXOFF)) != (got.c_iflag & (IXON | IXOFF)) ||
        want.c_cc[VSTART] != got.c_cc[VSTART] || want.c_cc[VSTOP] != got.c_cc[VSTOP])
        return LineSetting::XonXoffFlow;
    return sameSettings(want, got) ? LineSetting::None : LineSetting::Other;
}

ModemLineChange modemLinesFor(const DCB& dcb) {
    ModemLineChange c;
    if (dcb.fDtrControl == DTR_CONTROL_ENABLE)
        c.raise |= TIOCM_DTR;
    else if (dcb.fDtrControl == DTR_CONTROL_DISABLE)
        c.drop |= TIOCM_DTR;
    if (dcb.fRtsControl == RTS_CONTROL_ENABLE || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE)
        c.raise |= TIOCM_RTS;
    else if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
        c.drop |= TIOCM_RTS;
    return c;
}

speed_t standardSpeed(DWORD rate) {
    struct Entry {
        DWORD rate;
        speed_t speed;
    };
    static constexpr Entry table[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& e : table)
        if (e.rate == rate)
            return e.speed;
    return B0;
}

int applyDcb(const DCB& dcb, termios& t, speed_t& speed, LineSetting* refused) {
    const auto refuse = [refused](LineSetting setting) {
        if (refused)
            *refused = setting;
        return EINVAL;
    };
    if (dcb.BaudRate == 0)
        return refuse(LineSetting::BaudRate);
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
        return refuse(LineSetting::DataBits);
    // Input flow by DSR, a DTR handshake, RTS toggling, null stripping and error replacement have no
    // counterpart in termios.
    if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fNull || dcb.fErrorChar ||
        dcb.fDtrControl == DTR_CONTROL_HANDSHAKE || dcb.fRtsControl == RTS_CONTROL_TOGGLE)
        return refuse(LineSetting::Other);
    // CRTSCTS is one switch for both directions: CTS-only or RTS-only handshaking cannot be had.
    const bool rtsHandshake = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    if (rtsHandshake != bool(dcb.fOutxCtsFlow))
        return refuse(LineSetting::RtsCtsFlow);
    if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
        return refuse(LineSetting::XonXoffFlow);

    makeRaw(t);
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= sizes[dcb.ByteSize - 5];

    switch (dcb.Parity) {
    case NOPARITY:
        break;
    case ODDPARITY:
        t.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        t.c_cflag |= PARENB;
        break;
    case MARKPARITY:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case SPACEPARITY:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        return refuse(LineSetting::Parity);
    }
    if (dcb.fParity)
        t.c_iflag |= INPCK;

    // A UART sends CSTOPB with 5 data bits as one and a half stop bits, so two stop bits cannot be had
    // with 5 data bits, nor one and a half with more.
    switch (dcb.StopBits) {
    case ONESTOPBIT:
        break;
    case ONE5STOPBITS:
        if (dcb.ByteSize != 5)
            return refuse(LineSetting::StopBits);
        t.c_cflag |= CSTOPB;
        break;
    case TWOSTOPBITS:
        if (dcb.ByteSize == 5)
            return refuse(LineSetting::StopBits);
        t.c_cflag |= CSTOPB;
        break;
    default:
        return refuse(LineSetting::StopBits);
    }

    if (rtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        t.c_iflag |= IXON;
    if (dcb.fInX)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = cc_t(dcb.XonChar);
    t.c_cc[VSTOP] = cc_t(dcb.XoffChar);

    speed = standardSpeed(dcb.BaudRate);
    if (speed != B0)
        cfsetspeed(&t, speed);
    return 0;
}

} // namespace platform::detail
