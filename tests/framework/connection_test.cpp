// Connection negotiation and allocator negotiation of a push-stream pin against a fake
// downstream pin.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fakes.h"
#include "source_fixture.h"

using testsupport::FakeAllocator;
using fakes::FakeInputPin;
using fakes::TestSource;
using fakes::TestStream;
using fakes::VideoType;

namespace {

class Connection : public fakes::SourceFixture {
protected:
    // A failed attempt leaves nothing behind on our side.
    void ExpectUnconnected() {
        EXPECT_FALSE(pin->IsConnected());
        EXPECT_EQ(pin->ConnectionAllocator(), nullptr);
        EXPECT_EQ(testsupport::References(peer), 1u);
        EXPECT_EQ(peer.connector, nullptr);
    }
};

TEST_F(Connection, PeersListIsTriedFirst) {
    // lSampleSize does not take part in type equality, so it tells whose record was used.
    MediaTypeRecord peersType = VideoType(MEDIASUBTYPE_RGB24);
    peersType.lSampleSize = 777;
    peer.offeredTypes = {VideoType(MEDIASUBTYPE_RGB565), peersType};

    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    EXPECT_EQ(peer.offeredToConnect, std::vector<GUID>{MEDIASUBTYPE_RGB24});
    EXPECT_EQ(pin->ConnectionType().lSampleSize, 777u);
    EXPECT_EQ(peer.connector, static_cast<IPin*>(pin));
    EXPECT_EQ(pin->ConnectedPeer(), static_cast<IPin*>(&peer));

    EXPECT_EQ(pin->Connect(&peer, nullptr), VFW_E_ALREADY_CONNECTED);
}

TEST_F(Connection, OwnListIsTriedWhenThePeersFails) {
    peer.offeredTypes = {VideoType(MEDIASUBTYPE_RGB565)};
    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    EXPECT_EQ(peer.offeredToConnect, std::vector<GUID>{MEDIASUBTYPE_RGB24});
    EXPECT_EQ(pin->ConnectionType().lSampleSize, 1036800u);

    AM_MEDIA_TYPE copy;
    ASSERT_EQ(pin->ConnectionMediaType(&copy), S_OK);
    EXPECT_TRUE(static_cast<MediaTypeRecord&>(copy) == pin->singleType);
    EXPECT_NE(copy.pbFormat, pin->ConnectionType().pbFormat);
    ReleaseMediaTypeContents(copy);
}

TEST_F(Connection, FullySpecifiedTypeIsTheOnlyOneTried) {
    const MediaTypeRecord refused = VideoType(MEDIASUBTYPE_RGB565);
    EXPECT_EQ(pin->Connect(&peer, &refused), VFW_E_TYPE_NOT_ACCEPTED);
    EXPECT_EQ(peer.enumerations, 0);
    EXPECT_TRUE(peer.offeredToConnect.empty());
    ExpectUnconnected();

    peer.refusal = VFW_E_INVALIDMEDIATYPE;
    peer.acceptedSubtypes.clear();
    EXPECT_EQ(pin->Connect(&peer, &pin->singleType), VFW_E_INVALIDMEDIATYPE);
    EXPECT_EQ(peer.enumerations, 0);
    ExpectUnconnected();

    peer.acceptedSubtypes = {MEDIASUBTYPE_RGB24};
    EXPECT_EQ(pin->Connect(&peer, &pin->singleType), S_OK);
}

TEST_F(Connection, RefusalsMapToNoAcceptableTypes) {
    peer.offeredTypes = {VideoType(MEDIASUBTYPE_RGB565), VideoType(MEDIASUBTYPE_RGB555)};
    peer.acceptedSubtypes.clear();
    peer.refusal = E_FAIL;
    EXPECT_EQ(pin->Connect(&peer, nullptr), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_EQ(peer.offeredToConnect, std::vector<GUID>{MEDIASUBTYPE_RGB24});
    ExpectUnconnected();

    // A partial type filters both lists; nothing here matches it.
    MediaTypeRecord partial;
    partial.AssignMajorType(MEDIATYPE_Video);
    partial.AssignSubtype(MEDIASUBTYPE_RGB32);
    peer.acceptedSubtypes = {MEDIASUBTYPE_RGB24};
    EXPECT_EQ(pin->Connect(&peer, &partial), VFW_E_NO_ACCEPTABLE_TYPES);
    EXPECT_EQ(peer.offeredToConnect.size(), 1u);
    ExpectUnconnected();
}

TEST_F(Connection, PeersInformativeFailureIsReported) {
    peer.acceptedSubtypes.clear();
    peer.refusal = VFW_E_INVALIDMEDIATYPE;
    EXPECT_EQ(pin->Connect(&peer, nullptr), VFW_E_INVALIDMEDIATYPE);
    ExpectUnconnected();
}

TEST_F(Connection, PeerWithoutMemInputPinIsRefused) {
    peer.offersMemInputPin = false;
    EXPECT_EQ(pin->Connect(&peer, nullptr), E_NOINTERFACE);
    EXPECT_TRUE(peer.offeredToConnect.empty());
    ExpectUnconnected();
}

TEST_F(Connection, UnconnectedPinAnswersQueries) {
    IPin* connected = &peer;
    EXPECT_EQ(pin->ConnectedTo(&connected), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(connected, nullptr);

    AM_MEDIA_TYPE type;
    std::memset(&type, 0xCD, sizeof(type));
    EXPECT_EQ(pin->ConnectionMediaType(&type), VFW_E_NOT_CONNECTED);
    EXPECT_TRUE(static_cast<MediaTypeRecord&>(type) == MediaTypeRecord());
    EXPECT_EQ(type.lSampleSize, 1u);

    EXPECT_EQ(pin->QueryAccept(&pin->singleType), S_OK);
    const MediaTypeRecord other = VideoType(MEDIASUBTYPE_RGB24, 640);
    EXPECT_EQ(pin->QueryAccept(&other), S_FALSE);
    EXPECT_EQ(pin->QueryAccept(nullptr), E_POINTER);

    EXPECT_EQ(pin->Disconnect(), S_FALSE);
    EXPECT_EQ(pin->EndOfStream(), E_UNEXPECTED);

    peer.direction = PINDIR_OUTPUT;
    EXPECT_EQ(pin->Connect(&peer, nullptr), VFW_E_INVALID_DIRECTION);
    ExpectUnconnected();

    // Output operations without a connection.
    IMediaSample* sample = nullptr;
    EXPECT_EQ(pin->GetOutputSample(&sample, nullptr, nullptr, 0), E_NOINTERFACE);
    EXPECT_EQ(pin->DeliverSample(nullptr), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pin->SignalEndOfStream(), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(pin->OutputPinBase::Activate(), VFW_E_NO_ALLOCATOR);
}

TEST_F(Connection, DisconnectKeepsTheTypeButReportsNoConnection) {
    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    ASSERT_EQ(pin->Disconnect(), S_OK);
    EXPECT_EQ(pin->ConnectionType().lSampleSize, 1036800u);
    AM_MEDIA_TYPE type;
    EXPECT_EQ(pin->ConnectionMediaType(&type), VFW_E_NOT_CONNECTED);
    // The peer is not told; the graph disconnects each side itself.
    EXPECT_EQ(peer.connector, static_cast<IPin*>(pin));
    peer.Disconnect();
    ExpectUnconnected();
}

TEST_F(Connection, ReceiveConnectionTestsTheTypeOnly) {
    EXPECT_EQ(pin->ReceiveConnection(&peer, nullptr), E_POINTER);
    const MediaTypeRecord other = VideoType(MEDIASUBTYPE_RGB565);
    EXPECT_EQ(pin->ReceiveConnection(&peer, &other), VFW_E_TYPE_NOT_ACCEPTED);
    ExpectUnconnected();
    ASSERT_EQ(pin->ReceiveConnection(&peer, &pin->singleType), S_OK);
    EXPECT_TRUE(peer.offeredToConnect.empty());  // the connector is never called back
    EXPECT_NE(pin->ConnectionAllocator(), nullptr);
}

TEST_F(Connection, PinInfoCutsLongNames) {
    std::u16string longName(200, u'n');
    TestStream* named = source->AddStream(longName.c_str());
    ASSERT_NE(named, nullptr);
    PIN_INFO info;
    ASSERT_EQ(named->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(std::u16string(info.achName), longName.substr(0, 127));
    EXPECT_EQ(info.dir, PINDIR_OUTPUT);
    EXPECT_EQ(info.pFilter, filter);
    info.pFilter->Release();
}

TEST_F(Connection, PeersAllocatorIsPreferred) {
    peer.ownAllocator = &allocator;
    peer.requirements = {4, 100, 0, 0};
    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    EXPECT_EQ(pin->ConnectionAllocator(), &allocator);
    EXPECT_EQ(peer.notified, &allocator);
    ASSERT_EQ(pin->sizingRequests.size(), 1u);
    EXPECT_EQ(pin->sizingRequests[0].cBuffers, 4);
    EXPECT_EQ(pin->sizingRequests[0].cbAlign, 1);  // no alignment wish becomes 1
    EXPECT_EQ(allocator.LastRequest().cbBuffer, 1000);
}

TEST_F(Connection, UnsizableAllocatorFallsBackToAMemoryAllocator) {
    peer.ownAllocator = &allocator;
    peer.requirements = {0, 0, 16, 0};
    allocator.largestBuffer = 10;
    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    IMemAllocator* chosen = pin->ConnectionAllocator();
    ASSERT_NE(chosen, nullptr);
    EXPECT_NE(chosen, &allocator);
    EXPECT_EQ(peer.notified, chosen);
    EXPECT_EQ(testsupport::References(allocator), 1u);
    // Both attempts saw the same requirements record.
    ASSERT_EQ(pin->sizingRequests.size(), 2u);
    EXPECT_EQ(pin->sizingRequests[1].cbAlign, 16);
    EXPECT_EQ(pin->sizingRequests[1].cbBuffer, 1000);
    ALLOCATOR_PROPERTIES granted = {};
    ASSERT_EQ(chosen->GetProperties(&granted), S_OK);
    EXPECT_GE(granted.cbBuffer, 1000);
}

TEST_F(Connection, RefusedAllocatorFallsBackToAMemoryAllocator) {
    peer.ownAllocator = &allocator;
    peer.refuseOwnAllocator = true;
    ASSERT_EQ(pin->Connect(&peer, nullptr), S_OK);
    EXPECT_NE(pin->ConnectionAllocator(), &allocator);
    EXPECT_NE(peer.notified, nullptr);
    EXPECT_EQ(testsupport::References(allocator), 1u);
}

TEST_F(Connection, FailedAllocatorNegotiationLeavesNothingConnected) {
    // The peer's allocator is too small and no allocator of our own can be made: the creation
    // failure is what the connection reports.
    peer.ownAllocator = &allocator;
    allocator.largestBuffer = 10;
    pin->createAllocatorAnswer = E_OUTOFMEMORY;
    EXPECT_EQ(pin->Connect(&peer, nullptr), E_OUTOFMEMORY);
    ExpectUnconnected();
    EXPECT_EQ(peer.notified, nullptr);
}

}  // namespace
