// Driver load and Plug and Play as the platform does them: DriverEntry gets a
// driver object and registry path; Add, Start (Started as the platform keeps
// it, no resources), Stop (FREEONSTOP factories go), a later Start, Remove
// (the device's bag goes); filters opened through device interfaces only
// while the device is started; the device mutex.
#include "KsMiniDriver.h"

#include <gmock/gmock.h>

#include <string>
#include <thread>

namespace ksmini {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

class KsDevicePnpTest : public KsTest {
  protected:
    void TearDown() override {
        KsTest::TearDown();
        host::Variants::Reset();
    }
    // The model's option for when Started is set (variant started-flag).
    static void StartedSet(const char* option) {
        for (int i = 0; i < host::Variants::Info(host::Variant::StartedFlag).optionCount; ++i) {
            if (std::string(host::Variants::Info(host::Variant::StartedFlag).options[i]) ==
                option) {
                host::Variants::Set(host::Variant::StartedFlag, i);
            }
        }
    }
};

PDRIVER_OBJECT gSeenDriver = nullptr;
std::u16string gSeenPath;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    gSeenDriver = driver;
    gSeenPath.assign(path->Buffer, path->Length / sizeof(char16_t));
    return KsInitializeDriver(driver, path, &kDeviceDescriptor);
}

NTSTATUS FailingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS EntryWithoutKs(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

std::vector<std::string> StartsAndStops(const std::vector<std::string>& log) {
    std::vector<std::string> out;
    for (const std::string& entry : log) {
        if (entry.rfind("Start", 0) == 0 || entry.rfind("Stop", 0) == 0 || entry == "Add" ||
            entry == "Remove") {
            out.push_back(entry);
        }
    }
    return out;
}

TEST_F(KsDevicePnpTest, LoadCallsTheEntryPointWithItsDriverObjectAndRegistryPath) {
    gSeenDriver = nullptr;
    ASSERT_EQ(host::Driver::Load(RecordingEntry, &rig.driver, u"Probe"), STATUS_SUCCESS);
    EXPECT_EQ(gSeenDriver, rig.driver->DriverObject());
    EXPECT_EQ(gSeenPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Probe");
}

TEST_F(KsDevicePnpTest, AFailingEntryPointLoadsNothing) {
    EXPECT_EQ(host::Driver::Load(FailingEntry, &rig.driver), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.driver, nullptr);
}

TEST_F(KsDevicePnpTest, ADriverThatNeverRegisteredWithKsCannotAddADevice) {
    ASSERT_EQ(host::Driver::Load(EntryWithoutKs, &rig.driver), STATUS_SUCCESS);
    EXPECT_EQ(rig.driver->AddDevice(&rig.device), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(rig.device, nullptr);
}

TEST_F(KsDevicePnpTest, AddRunsOnTheNewDeviceAndAFailedAddFreesItsBag) {
    Mini().addStatus = STATUS_INSUFFICIENT_RESOURCES;
    ASSERT_EQ(host::Driver::Load(MiniDriverEntry, &rig.driver), STATUS_SUCCESS);
    EXPECT_EQ(rig.driver->AddDevice(&rig.device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.device, nullptr);
    // The failed device is gone, the driver's Remove is not called, and the
    // item the driver had put in its bag is freed.
    EXPECT_THAT(Mini().Log(), ElementsAre("Add", "free device-context"));
    EXPECT_EQ(host::Verifier::OutstandingBlocks(kTagItem), 0u);

    Mini().addStatus = STATUS_SUCCESS;
    ASSERT_EQ(rig.driver->AddDevice(&rig.device), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    EXPECT_EQ(Mini().device, device);
    EXPECT_NE(device->Context, nullptr);
    EXPECT_EQ(device->Descriptor, &kDeviceDescriptor);
    EXPECT_NE(device->FunctionalDeviceObject, nullptr);
    EXPECT_NE(device->PhysicalDeviceObject, nullptr);
    EXPECT_FALSE(device->Started);
}

TEST_F(KsDevicePnpTest, StartSeesStartedClearAndNoResourcesAndSetsStarted) {
    StartedSet("after-start");
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_THAT(Mini().Log(), Contains("Start started=0 irp=1 resources=0"));
    EXPECT_TRUE(rig.device->KsDevice()->Started);
    EXPECT_TRUE(rig.device->Started());
    std::vector<host::DeviceInterface> interfaces = rig.device->Interfaces();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].category, kCategoryVideo);
    EXPECT_EQ(interfaces[0].referenceString, u"GLOBAL");
    EXPECT_EQ(interfaces[1].category, kCategoryCapture);
    EXPECT_EQ(interfaces[1].referenceString, u"GLOBAL");
}

TEST_F(KsDevicePnpTest, AStartOfAStartedDeviceReachesTheDriverWithStartedSet) {
    StartedSet("after-start");
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    EXPECT_THAT(StartsAndStops(Mini().Log()),
                ElementsAre("Add", "Start started=0 irp=1 resources=0",
                            "Start started=1 irp=1 resources=0"));
    // The driver made no second factory.
    EXPECT_EQ(rig.device->Interfaces().size(), 2u);
}

TEST_F(KsDevicePnpTest, AFailedStartLeavesTheDeviceStopped) {
    Mini().startStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(rig.device->KsDevice()->Started);
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_DEVICE_NOT_READY);
}

TEST_F(KsDevicePnpTest, FilterOpensFailWithDeviceNotReadyUntilTheDeviceStarts) {
    ASSERT_EQ(host::Driver::Load(MiniDriverEntry, &rig.driver), STATUS_SUCCESS);
    ASSERT_EQ(rig.driver->AddDevice(&rig.device), STATUS_SUCCESS);
    EXPECT_THAT(rig.device->Interfaces(), IsEmpty());
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_SUCCESS);
}

TEST_F(KsDevicePnpTest, StopClearsStartedAndFreesTheFreeOnStopFactory) {
    StartedSet("after-start");
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(rig.device->KsDevice()->Started);
    EXPECT_THAT(rig.device->Interfaces(), IsEmpty());
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(rig.device->Stop(), STATUS_INVALID_DEVICE_STATE);

    // A later start finds Started clear and makes a new factory.
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    EXPECT_THAT(StartsAndStops(Mini().Log()),
                ElementsAre("Add", "Start started=0 irp=1 resources=0", "Stop started=1",
                            "Start started=0 irp=1 resources=0"));
    EXPECT_EQ(rig.device->Interfaces().size(), 2u);
    EXPECT_EQ(rig.device->OpenFilter(kCategoryCapture, &rig.filter), STATUS_SUCCESS);
}

TEST_F(KsDevicePnpTest, AFactoryMadeWithoutFreeOnStopOutlivesAStop) {
    Mini().factoryFlags = 0;
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    // The first factory stayed (the driver, knowing that, made no second):
    // its interfaces are back and it opens filters.
    EXPECT_EQ(rig.device->Interfaces().size(), 2u);
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_SUCCESS);
}

TEST_F(KsDevicePnpTest, AFactoryListedInTheDescriptorLivesWithTheDevice) {
    Mini().factoryInStart = false;
    ASSERT_EQ(host::Driver::Load(ListedDriverEntry, &rig.driver), STATUS_SUCCESS);
    ASSERT_EQ(rig.driver->AddDevice(&rig.device), STATUS_SUCCESS);
    // It exists, but filters open only once the device has started.
    EXPECT_EQ(rig.device->OpenFilter(kCategoryVideo, &rig.filter), STATUS_DEVICE_NOT_READY);
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    std::vector<host::DeviceInterface> interfaces = rig.device->Interfaces();
    ASSERT_EQ(interfaces.size(), 2u);
    EXPECT_EQ(interfaces[0].referenceString, u"{9B365890-165F-11D0-A195-0020AFD156E4}");
    ASSERT_EQ(rig.device->Stop(), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->Start(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device->Interfaces().size(), 2u);
}

TEST_F(KsDevicePnpTest, StopAndRemoveAreRefusedWhileAFilterIsOpen) {
    ASSERT_EQ(OpenFilter(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device->Stop(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.device->Remove(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_TRUE(rig.device->KsDevice()->Started);
    ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
    EXPECT_EQ(rig.device->Stop(), STATUS_SUCCESS);
}

TEST_F(KsDevicePnpTest, RemoveStopsAStartedDeviceThenFreesItsBag) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    Mini().ClearLog();
    ASSERT_EQ(rig.device->Remove(), STATUS_SUCCESS);
    EXPECT_THAT(Mini().Log(), ElementsAre("Stop started=1", "Remove", "free device-context"));
    EXPECT_EQ(rig.device->Remove(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(rig.device->Start(), STATUS_INVALID_DEVICE_STATE);
}

TEST_F(KsDevicePnpTest, FiltersOpenThroughEveryInterfaceAndSeveralAtOnce) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    std::unique_ptr<host::FilterHandle> first;
    std::unique_ptr<host::FilterHandle> second;
    std::unique_ptr<host::FilterHandle> third;
    ASSERT_EQ(rig.device->OpenFilter(kCategoryVideo, &first), STATUS_SUCCESS);
    ASSERT_EQ(rig.device->OpenFilter(kCategoryCapture, &second), STATUS_SUCCESS);
    host::DeviceInterface exact{kCategoryCapture, u"GLOBAL"};
    ASSERT_EQ(rig.device->OpenFilter(exact, &third), STATUS_SUCCESS);
    EXPECT_NE(first->KsFilter(), second->KsFilter());
    EXPECT_NE(second->KsFilter(), third->KsFilter());
    EXPECT_EQ(first->KsFilter()->Descriptor, &kFilterDescriptor);
    EXPECT_NE(first->KsFilter()->Context, second->KsFilter()->Context);
    std::vector<std::string> log = Mini().Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), "FilterCreate irp=1"), 3);

    std::unique_ptr<host::FilterHandle> none;
    EXPECT_EQ(rig.device->OpenFilter(kCategoryCamera, &none), STATUS_OBJECT_NAME_NOT_FOUND);
    host::DeviceInterface wrongReference{kCategoryVideo, u"LOCAL"};
    EXPECT_EQ(rig.device->OpenFilter(wrongReference, &none), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(none, nullptr);
}

TEST_F(KsDevicePnpTest, AFailedFilterCreateFreesTheFilterAndItsBag) {
    Mini().filterCreateStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(OpenFilter(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rig.filter, nullptr);
    std::vector<std::string> log = Mini().Log();
    EXPECT_THAT(log, Contains("free filter-item"));
    EXPECT_THAT(log, ::testing::Not(Contains("FilterClose")));
    // Nothing is left open: the device may stop.
    EXPECT_EQ(rig.device->Stop(), STATUS_SUCCESS);
}

TEST_F(KsDevicePnpTest, KsGetDeviceFindsTheDeviceOfEveryObject) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    EXPECT_EQ(KsGetDevice(device), device);
    EXPECT_EQ(KsGetDevice(rig.filter->KsFilter()), device);
    EXPECT_EQ(KsFilterGetDevice(rig.filter->KsFilter()), device);
    EXPECT_EQ(KsPinGetDevice(rig.pin->KsPin()), device);
    PKSFILTERFACTORY factory = nullptr;
    KsAcquireDevice(device);
    NTSTATUS made =
        KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, u"OTHER", nullptr,
                              KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, &factory);
    KsReleaseDevice(device);
    ASSERT_EQ(made, STATUS_SUCCESS);
    ASSERT_NE(factory, nullptr);
    EXPECT_EQ(factory->FilterDescriptor, &kFilterDescriptor);
    EXPECT_EQ(KsGetDevice(factory), device);

    int notAnObject = 0;
    EXPECT_EQ(KsGetDevice(&notAnObject), nullptr);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsDevicePnpTest, AFilterFactoryCreationCanBeFailed) {
    host::KsFaults::FailFilterFactoryCreation(true);
    EXPECT_EQ(StartDevice(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(rig.device->Started());
}

TEST_F(KsDevicePnpTest, TheDeviceMutexExcludesOtherThreads) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    long counter = 0;  // guarded by the device mutex only
    auto worker = [&] {
        for (int i = 0; i < 2000; ++i) {
            KsAcquireDevice(device);
            ++counter;
            KsReleaseDevice(device);
        }
    };
    std::thread a(worker);
    std::thread b(worker);
    a.join();
    b.join();
    EXPECT_EQ(counter, 4000);
}

TEST_F(KsDevicePnpTest, TheDeviceMutexTakenUnderTheControlMutexIsReported) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    // SetDeviceState runs with the filter's control mutex held.
    Mini().setDeviceState = [](PKSPIN pin, KSSTATE, KSSTATE) {
        KsAcquireDevice(KsPinGetDevice(pin));
        KsReleaseDevice(KsPinGetDevice(pin));
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ExpectViolations({host::Rule::KsObject});
    Mini().setDeviceState = nullptr;
    KsAcquireDevice(rig.device->KsDevice());  // outside it: fine
    KsReleaseDevice(rig.device->KsDevice());
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
}

TEST_F(KsDevicePnpTest, TheDeviceMutexIsNotRecursive) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    KsAcquireDevice(device);
    KsAcquireDevice(device);  // a self-deadlock on Windows: reported, not hung
    ExpectViolations({host::Rule::KsObject});
    KsReleaseDevice(device);
    KsReleaseDevice(device);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << "the pairs still match";
    std::thread other([device] {
        KsAcquireDevice(device);  // free again
        KsReleaseDevice(device);
    });
    other.join();
}

TEST_F(KsDevicePnpTest, UnderHeldADriverTakingTheDeviceMutexInStartDeadlocks) {
    // The mini driver knows the option and does not take it; a driver that
    // took it anyway is reported.
    host::Variants::Set(host::Variant::DeviceMutexAtStart, 0);  // held
    Mini().startHook = [](PKSDEVICE device) {
        KsAcquireDevice(device);
        KsReleaseDevice(device);
    };
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    ExpectViolations({host::Rule::KsObject});
    Mini().startHook = nullptr;
}

TEST_F(KsDevicePnpTest, UnderNotHeldStartRunsWithoutTheDeviceMutex) {
    host::Variants::Set(host::Variant::DeviceMutexAtStart, 1);  // not-held
    bool heldInStart = true;
    Mini().startHook = [&heldInStart](PKSDEVICE device) {
        // A bag change without the mutex is reported: the platform does not hold it.
        TestItem* item = NewItem("in-start");
        KsAddItemToObjectBag(device->Bag, item, FreeItem);
        heldInStart = host::Verifier::ViolationCount() == 0;
    };
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    EXPECT_FALSE(heldInStart);
    ExpectViolations({host::Rule::KsObject});
    Mini().startHook = nullptr;
}

TEST_F(KsDevicePnpTest, StartedIsSetBeforeStartAfterItOrAfterPostStartAsTheOptionSays) {
    const char* const options[] = {"before-start", "after-start", "after-post-start"};
    const char* const seen[] = {"Start started=1 irp=1 resources=0",
                                "Start started=0 irp=1 resources=0",
                                "Start started=0 irp=1 resources=0"};
    for (int i = 0; i < 3; ++i) {
        rig.Reset();
        ResetMini();
        StartedSet(options[i]);
        ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
        EXPECT_THAT(Mini().Log(), Contains(seen[i])) << options[i];
        EXPECT_TRUE(rig.device->Started()) << options[i];
    }
}

TEST_F(KsDevicePnpTest, KsCreateFilterFactoryWithoutTheDeviceMutexIsReported) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    PKSDEVICE device = rig.device->KsDevice();
    EXPECT_EQ(KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, u"OTHER",
                                    nullptr, 0, nullptr, nullptr, nullptr),
              STATUS_SUCCESS);
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsDevicePnpTest, ReleasingTheDeviceMutexWithoutHoldingItIsReported) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    KsReleaseDevice(rig.device->KsDevice());
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsDevicePnpTest, DeviceMutexesTakenInBothOrdersAreALockOrderViolation) {
    ASSERT_EQ(StartDevice(), STATUS_SUCCESS);
    std::unique_ptr<host::Device> other;
    ASSERT_EQ(rig.driver->AddDevice(&other), STATUS_SUCCESS);
    PKSDEVICE a = rig.device->KsDevice();
    PKSDEVICE b = other->KsDevice();
    KsAcquireDevice(a);
    KsAcquireDevice(b);
    KsReleaseDevice(b);
    KsReleaseDevice(a);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u);
    KsAcquireDevice(b);
    KsAcquireDevice(a);
    KsReleaseDevice(a);
    KsReleaseDevice(b);
    ExpectViolations({host::Rule::LockOrder});
}

}  // namespace
}  // namespace ksmini
