#include "transmit/setup_status.h"

#include "encoder/media_foundation_encoder.h"
#include "transmit/shared_transport.h"
#include "ui/setup_dialog.h"

namespace Veltrix {

SetupStatusSnapshot TakeSetupStatus() {
    SharedTransport& transport = SharedTransport::Instance();
    SetupStatusSnapshot s;
    s.connected = transport.PeerKnown();
    s.active = transport.AnyInstanceActive();
    if (s.connected) s.peerAddress = transport.Network().PeerAddress();
    s.listeningPort = transport.Network().ListeningPort();
    s.encoderDescription = MediaFoundationEncoder::CurrentEncoderDescription();
    // No receiver statistics reach this process yet: the record stays at its zero values.
    const ClientSettingsCache settings = transport.GetClientSettings();
    s.codec = settings.codec;
    s.maxShortSide = settings.maxShortSide;
    s.gopSize = settings.gopSize;
    s.encoderMode = settings.encoderMode;
    s.quality = settings.quality;
    s.hasSettings = settings.hasSettings;
    const EncoderStatus encoder = transport.GetEncoderStatus();
    s.encoderValid = encoder.valid != 0;
    s.engineDescription = encoder.description;
    s.isH264 = encoder.isH264 != 0;
    s.gopClass = encoder.gopClass;
    return s;
}

void OpenSetupWindow(void* parentWindow) {
    SetupModel::Sources sources;
    sources.status = TakeSetupStatus;
    OpenSetupDialog(parentWindow, std::move(sources));
}

void CloseSetupWindow() { CloseSetupDialog(); }

}  // namespace Veltrix
