// The catalogue's single list of names; every length and id is worked out from it when the
// plug-in is compiled, so the catalogue needs no storage or set-up at load time.
#include "plugin/host/message_catalogue.h"

#include "plugin/host/message_id.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace {

// In catalogue order, which lookups walk. A repeated name is a further entry of its own; since it
// matches the earlier one in every field, a lookup never gets past the first.
constexpr std::string_view kNames[] = {
    // 0
    "Aircraft.Altitude",
    "Aircraft.VerticalSpeed",
    "Aircraft.Pitch",
    "Aircraft.Bank",
    "Aircraft.IndicatedAirspeed",
    "Aircraft.GroundSpeed",
    "Aircraft.MagneticHeading",
    "Aircraft.TrueHeading",
    "Aircraft.Latitude",
    "Aircraft.Longitude",
    // 10
    "Aircraft.Height",
    "Aircraft.Position",
    "Aircraft.Orientation",
    "Aircraft.Velocity",
    "Aircraft.AngularVelocity",
    "Aircraft.Acceleration",
    "Aircraft.Gravity",
    "Aircraft.Wind",
    "Aircraft.RateOfTurn",
    "Aircraft.MachNumber",
    // 20
    "Aircraft.Gear",
    "Aircraft.Flaps",
    "Aircraft.Throttle",
    "Aircraft.AirBrake",
    "Aircraft.RadarAltitude",
    "Aircraft.Name",
    "Aircraft.NearestAirport",
    "Aircraft.Category.Jet",
    "Aircraft.Category.Glider",
    "Aircraft.OnGround",
    // 30
    "Aircraft.OnRunway",
    "Aircraft.Crashed",
    "Performance.Speed.VS0",
    "Performance.Speed.VS1",
    "Performance.Speed.VFE",
    "Performance.Speed.VNO",
    "Performance.Speed.VNE",
    "Navigation.NAV1Frequency",
    "Navigation.NAV1StandbyFrequency",
    "Navigation.NAV1FrequencySwap",
    // 40
    "Navigation.DMEFrequency1",
    "Navigation.NAV2Frequency",
    "Navigation.NAV2StandbyFrequency",
    "Navigation.NAV2FrequencySwap",
    "Navigation.ADF1Frequency",
    "Navigation.ADF1StandbyFrequency",
    "Navigation.COM1Frequency",
    "Navigation.COM1StandbyFrequency",
    "Navigation.COM1FrequencySwap",
    "Navigation.COM2Frequency",
    // 50
    "Navigation.COM2StandbyFrequency",
    "Navigation.COM2FrequencySwap",
    "Navigation.SelectedCourse1",
    "Navigation.SelectedCourse2",
    "Autopilot.Master",
    "Autopilot.Disengage",
    "Autopilot.Heading",
    "Autopilot.VerticalSpeed",
    "Autopilot.SelectedSpeed",
    "Autopilot.SelectedAirspeed",
    // 60
    "Autopilot.SelectedHeading",
    "Autopilot.SelectedAltitude",
    "Autopilot.SelectedVerticalSpeed",
    "Autopilot.Engaged",
    "Autopilot.ActiveLateralMode",
    "Autopilot.ArmedLateralMode",
    "Autopilot.ActiveVerticalMode",
    "Autopilot.ArmedVerticalMode",
    "Autopilot.ActiveAutoThrottleMode",
    "FlightDirector.Pitch",
    // 70
    "FlightDirector.Bank",
    "Copilot.Heading",
    "Copilot.Altitude",
    "Copilot.Airspeed",
    "Copilot.VerticalSpeed",
    "Copilot.Aileron",
    "Copilot.Elevator",
    "Copilot.Throttle",
    "Copilot.AutoRudder",
    "Controls.Speed",
    // 80
    "Controls.Throttle1",
    "Controls.Throttle2",
    "Controls.Throttle3",
    "Controls.Throttle4",
    "Controls.Throttle1",  // as at 80
    "Controls.Throttle2",  // as at 81
    "Controls.Throttle3",  // as at 82
    "Controls.Throttle4",  // as at 83
    "Controls.Pitch.Input",
    "Controls.Pitch.Input",  // as at 88
    // 90
    "Controls.Roll.Input",
    "Controls.Roll.Input",  // as at 90
    "Controls.Yaw.Input",
    "Controls.Yaw.Input",  // as at 92
    "Controls.Flaps",
    "Controls.Flaps",  // as at 94
    "Controls.Gear",
    "Controls.Gear",  // as at 96
    "Controls.WheelBrake.Left",
    "Controls.WheelBrake.Right",
    // 100
    "Controls.WheelBrake.Left",   // as at 98
    "Controls.WheelBrake.Right",  // as at 99
    "Controls.AirBrake",
    "Controls.AirBrake",  // as at 102
    "Controls.GliderAirBrake",
    "Controls.PropellerSpeed1",
    "Controls.PropellerSpeed2",
    "Controls.PropellerSpeed3",
    "Controls.PropellerSpeed4",
    "Controls.Mixture1",
    // 110
    "Controls.Mixture2",
    "Controls.Mixture3",
    "Controls.Mixture4",
    "Controls.ThrustReverse1",
    "Controls.ThrustReverse2",
    "Controls.ThrustReverse3",
    "Controls.ThrustReverse4",
    "Controls.Trim",
    "Controls.Trim",  // as at 117
    "Controls.Trim",  // as at 117
    // 120
    "Controls.AileronTrim",
    "Controls.RudderTrim",
    "Controls.Tiller",
    "Controls.PedalsDisconnect",
    "Controls.NoseWheelSteering",
    "Controls.Lighting.Panel",
    "Controls.Lighting.Instruments",
    "View.DisplayName",
    "View.Internal",
    "View.Follow",
    // 130
    "View.External",
    "View.Category",
    "View.Mode",
    "View.Zoom",
    "View.Pan.Horizontal",
    "View.Pan.Horizontal",  // as at 134
    "View.Pan.Vertical",
    "View.Pan.Vertical",  // as at 136
    "View.Pan.Center",
    "View.Look.Horizontal",
    // 140
    "View.Look.Vertical",
    "View.Roll",
    "View.OffsetX",
    "View.OffsetX",  // as at 142
    "View.OffsetY",
    "View.OffsetY",  // as at 144
    "View.OffsetZ",
    "View.OffsetZ",  // as at 146
    "View.Position",
    "View.Direction",
    // 150
    "View.Up",
    "View.FieldOfView",
    "View.AspectRatio",
    "View.FreePosition",
    "View.FreeLookDirection",
    "View.FreeUp",
    "View.FreeFieldOfView",
    "Simulation.Pause",
    "Simulation.FlightInformation",
    "Simulation.MovingMap",
    // 160
    "Simulation.Sound",
    "Simulation.LiftUp",
    "Simulation.SettingPosition",
    "Simulation.SettingOrientation",
    "Simulation.SettingVelocity",
    "Simulation.SettingSet",
    "Simulation.TimeChange",
    "Simulation.Visibility",
    "Simulation.Time",
    "Simulation.UseMouseControl",
    // 170
    "Simulation.PlaybackStart",
    "Simulation.PlaybackStop",
    "Simulation.PlaybackPosition",
    "Simulation.ExternalPosition",
    "Simulation.ExternalOrientation",
    "Command.Execute",
    "Command.Back",
    "Command.Up",
    "Command.Down",
    "Command.Left",
    // 180
    "Command.Right",
    "Command.MoveHorizontal",
    "Command.MoveVertical",
    "Command.Rotate",
    "Command.Zoom",
    "Aircraft.Aileron",
    "Aircraft.AileronForceFree",
    "Aircraft.AileronTrim",
    "Aircraft.AngleOfAttack",
    "Aircraft.AngularAcceleration",
    // 190
    "Aircraft.BrakePosition",
    "Aircraft.Collective",
    "Aircraft.Elevator",
    "Aircraft.ElevatorForceFree",
    "Aircraft.ElevatorForceGradient",
    "Aircraft.IndicatedAirspeedTrend",
    "Aircraft.Mass",
    "Aircraft.PowerSetting",
    "Aircraft.Rudder",
    "Aircraft.RudderTrim",
    // 200
    "Aircraft.ThrottleLimit",
    "Aircraft.Trim",
    "Aircraft.TrimValue",
    "Aircraft.YawDamperEnabled",
    "Autopilot.Aileron",
    "Autopilot.Altitude",
    "Autopilot.AltitudeArm",
    "Autopilot.AltitudeHold",
    "Autopilot.AltitudeIntervention",
    "Autopilot.AltitudeScale",
    // 210
    "Autopilot.Approach",
    "Autopilot.ArmedApproachMode",
    "Autopilot.BackCourse",
    "Autopilot.BankLimit",
    "Autopilot.DN",
    "Autopilot.Elevator",
    "Autopilot.Expedite",
    "Autopilot.FlightDirector",
    "Autopilot.FlightDirector0",
    "Autopilot.FlightDirector1",
    // 220
    "Autopilot.FlightDirectorClear",
    "Autopilot.FlightDirectorClear0",
    "Autopilot.FlightDirectorClear1",
    "Autopilot.FlightLevelChange",
    "Autopilot.HeadingHold",
    "Autopilot.Localizer",
    "Autopilot.ManagedAltitude",
    "Autopilot.ManagedHeading",
    "Autopilot.ManagedSpeed",
    "Autopilot.Master0",
    // 230
    "Autopilot.Master1",
    "Autopilot.Master2",
    "Autopilot.Navigation",
    "Autopilot.NavigationSourceCopilot",
    "Autopilot.NavigationSourcePilot",
    "Autopilot.Reverse",
    "Autopilot.Rudder",
    "Autopilot.SelectedAltitudeScale",
    "Autopilot.SelectedChange",
    "Autopilot.SelectedMachNumber",
    // 240
    "Autopilot.SelectedVerticalSpeedZero",
    "Autopilot.Speed",
    "Autopilot.SpeedIntervention",
    "Autopilot.SpeedManaged",
    "Autopilot.TakeOffGoAround",
    "Autopilot.Throttle",
    "Autopilot.ThrottleArm",
    "Autopilot.ThrottleCommand",
    "Autopilot.ThrottleDisengage",
    "Autopilot.ThrottleEngaged",
    // 250
    "Autopilot.Thrust",
    "Autopilot.TouchControlSteering",
    "Autopilot.Type",
    "Autopilot.UP",
    "Autopilot.UseFlightPathAngle",
    "Autopilot.UseMachNumber",
    "Autopilot.UseTrack",
    "Autopilot.UseTrackFlightPathAngle",
    "Autopilot.Vertical",
    "Autopilot.VerticalNavigation",
    // 260
    "Command.SelectHorizontal",
    "Command.SelectVertical",
    "Command.VirtualRealityCenter",
    "Communication.ATCGo",
    "Communication.ATCNegative",
    "Communication.COM1Frequency",
    "Communication.COM1FrequencySwap",
    "Communication.COM1StandbyFrequency",
    "Communication.COM2Frequency",
    "Communication.COM2FrequencySwap",
    // 270
    "Communication.COM2StandbyFrequency",
    "Communication.TransponderClear",
    "Communication.TransponderCode",
    "Communication.TransponderCursor",
    "Communication.TransponderDigit",
    "Communication.TransponderVFR",
    "Controls.AirBrake.Arm",
    "Controls.AutoBrake.RejectedTakeOff",
    "Controls.AutoBrake.Strength",
    "Controls.Clutch",
    // 280
    "Controls.Collective",
    "Controls.CoolingCowl",
    "Controls.CyclicPitch",
    "Controls.CyclicRoll",
    "Controls.FuelPump",
    "Controls.Governor",
    "Controls.HelicopterThrottle",
    "Controls.Hook",
    "Controls.Lighting.Beacon",
    "Controls.Lighting.InboardLanding",
    // 290
    "Controls.Lighting.Landing",
    "Controls.Lighting.Navigation",
    "Controls.Lighting.OutboardLanding",
    "Controls.Lighting.Strobe",
    "Controls.Lighting.Taxi",
    "Controls.Magnetos",
    "Controls.MirrorTiltLeftRight",
    "Controls.MirrorTiltUpDown",
    "Controls.ParkingBrake",
    "Controls.PitotHeat",
    // 300
    "Controls.RemoteHook",
    "Controls.RotorBrake",
    "Controls.SteeringRange",
    "Controls.TailRotor",
    "Controls.TailWheelSteering",
    "Copilot.AutoAirBrake",
    "Copilot.AutoBrake",
    "Copilot.AutoCheckList",
    "Copilot.AutoEngine",
    "Copilot.AutoFlap",
    // 310
    "Copilot.AutoGear",
    "Copilot.AutoTrim",
    "Copilot.AutoTuning",
    "Copilot.AutoWarningMuteTime",
    "Copilot.Bank",
    "Copilot.Center",
    "Copilot.Down",
    "Copilot.Engaged",
    "Copilot.Faster",
    "Copilot.Landing",
    // 320
    "Copilot.LandingAvailable",
    "Copilot.LateralMode",
    "Copilot.Left",
    "Copilot.Master",
    "Copilot.Pitch",
    "Copilot.Profi",
    "Copilot.Right",
    "Copilot.Route",
    "Copilot.RouteAvailable",
    "Copilot.Rudder",
    // 330
    "Copilot.RudderAssist",
    "Copilot.SelectedAirspeed",
    "Copilot.SelectedAltitude",
    "Copilot.SelectedHeading",
    "Copilot.SelectedVerticalSpeed",
    "Copilot.Slower",
    "Copilot.Takeoff",
    "Copilot.TakeoffAvailable",
    "Copilot.ThrottleMode",
    "Copilot.Up",
    // 340
    "Copilot.VerticalMode",
    "Description.Hint.AileronGain",
    "Description.Hint.ElevatorGain",
    "Description.Hint.RudderGain",
    "Description.Performance.MaximumSpeed",
    "Description.Performance.MinimumSpeed",
    "Game.Calibration",
    "Game.Developer.Reposition.Heading",
    "Game.Developer.Reposition.R",
    "Game.Developer.Reposition.Speed",
    // 350
    "Game.Developer.ShowGeometry",
    "Game.FlightDirector.Altitude",
    "Game.FlightDirector.Bank",
    "Game.FlightDirector.Brake",
    "Game.FlightDirector.Flaps",
    "Game.FlightDirector.Gear",
    "Game.FlightDirector.Heading",
    "Game.FlightDirector.Pitch",
    "Game.FlightDirector.Power",
    "Game.FlightDirector.Speed",
    // 360
    "Game.FlightDisplay.Altitude",
    "Game.FlightDisplay.Attitude",
    "Game.FlightDisplay.Focus",
    "Game.FlightDisplay.Speed",
    "Game.Mission",
    "Game.Mission.Control",
    "Game.Mission.Finished",
    "Game.Mission.HideAutopilot",
    "Game.Mission.HideControls",
    "Game.Mission.ShowHelpButton",
    // 370
    "Game.Pause",
    "Game.TiltControl",
    "Navigation.ADF1FrequencySwap",
    "Navigation.ADF2Frequency",
    "Navigation.ADF2FrequencySwap",
    "Navigation.ADF2StandbyFrequency",
    "Navigation.DMEFrequency",
    "Navigation.DMEStandbyFrequency",
    "Navigation.DME1Distance",
    "Navigation.DME2Distance",
    // 380
    "Navigation.ILS1Course",
    "Navigation.ILS1Frequency",
    "Navigation.ILS1FrequencySwap",
    "Navigation.ILS1StandbyFrequency",
    "Navigation.ILS2Course",
    "Navigation.ILS2Frequency",
    "Navigation.ILS2FrequencySwap",
    "Navigation.ILS2StandbyFrequency",
    "Navigation.NAV1Identifier",
    "Performance.Speed.Maximum",
    // 390
    "Performance.Speed.MaximumFlapExtension",
    "Performance.Speed.Minimum",
    "Performance.Speed.MinimumFlapRetraction",
    "Simulation.HUD",
    "Simulation.Landmarks",
    "Simulation.Monitoring",
    "Simulation.OverlaySelection",
    "Simulation.Parameter0",
    "Simulation.Parameter1",
    "Simulation.Parameter2",
    // 400
    "Simulation.Parameter3",
    "Simulation.PlaybackBack",
    "Simulation.PlaybackPosition",  // as at 172
    "Simulation.ReloadAircraft",
    "Simulation.Reposition",
    "Simulation.ShowControlObjects",
    "Simulation.TakeSceenshot",
    "Simulation.TakeScreenshot",
    "Simulation.TakeScreenshotNoInfo",
    "Simulator.OverlayLeft",
    // 410
    "Simulator.OverlayRight",
    "View.Altitude",
    "View.GroundHeight",
    "View.Option",
    "View.PostOffset",
    "Warnings.MasterWarningPilot",
    "Warnings.WarningActive",
    "Warnings.WarningMute",
};

static_assert(std::size(kNames) == kMessageCatalogueSize);

using Index = std::uint16_t;
using Ids = std::array<std::uint64_t, kMessageCatalogueSize>;
using Entries = std::array<MessageNameEntry, kMessageCatalogueSize>;

constexpr Entries make_entries() {
    Entries entries{};
    for (std::size_t i = 0; i < kMessageCatalogueSize; ++i) {
        entries[i] = {make_message_name(kNames[i]), message_id(kNames[i])};
    }
    return entries;
}

constexpr Entries kEntries = make_entries();

// The ids on their own keep the lookup's scan within a few cache lines.
constexpr Ids make_ids() {
    Ids ids{};
    for (std::size_t i = 0; i < kMessageCatalogueSize; ++i) {
        ids[i] = kEntries[i].id;
    }
    return ids;
}

constexpr Ids kIds = make_ids();
constexpr MessageName kUnknownName = make_message_name("unknown");

// Entry indices ordered by id: neighbours with equal ids are all the checks below need, which
// keeps the compile-time work well inside the compilers' evaluation limits.
constexpr std::array<Index, kMessageCatalogueSize> indices_by_id() {
    std::array<Index, kMessageCatalogueSize> order{};
    for (std::size_t i = 0; i < kMessageCatalogueSize; ++i) {
        order[i] = static_cast<Index>(i);
    }
    std::sort(order.begin(), order.end(), [](Index a, Index b) { return kIds[a] < kIds[b]; });
    return order;
}

constexpr auto kById = indices_by_id();

constexpr std::size_t distinct_ids() {
    std::size_t count = 1;
    for (std::size_t i = 1; i < kMessageCatalogueSize; ++i) {
        count += kIds[kById[i]] != kIds[kById[i - 1]];
    }
    return count;
}

constexpr bool equal_ids_mean_equal_names() {
    for (std::size_t i = 1; i < kMessageCatalogueSize; ++i) {
        const Index a = kById[i - 1];
        const Index b = kById[i];
        if (kIds[a] == kIds[b] && kNames[a] != kNames[b]) {
            return false;
        }
    }
    return true;
}

constexpr bool names_fit() {
    return std::all_of(std::begin(kNames), std::end(kNames),
                       [](std::string_view name) { return name.size() < kMessageNameCapacity; });
}

constexpr bool no_entry_has(std::uint64_t id) {
    return std::find(kIds.begin(), kIds.end(), id) == kIds.end();
}

constexpr bool entry_is(std::size_t index, std::string_view name, std::uint64_t id) {
    return message_name_view(kEntries[index].name) == name && kEntries[index].id == id;
}

static_assert(names_fit(), "a name would lose characters");
static_assert(equal_ids_mean_equal_names(), "two distinct names share a MessageId");
// With ids and names in step, counting distinct ids counts distinct names.
static_assert(distinct_ids() == kMessageCatalogueDistinctNames);
static_assert(entry_is(2, "Aircraft.Pitch", 0x98489fca9a0c6699ull));
static_assert(entry_is(117, "Controls.Trim", 0x9b53f75121aed059ull));
static_assert(entry_is(150, "View.Up", 0x1a511e5141cbaacdull));
static_assert(entry_is(168, "Simulation.Time", 0x9ca7fb58f287a1f3ull));
static_assert(entry_is(240, "Autopilot.SelectedVerticalSpeedZero", 0x25fb47b55a6f1132ull));
static_assert(entry_is(390, "Performance.Speed.MaximumFlapExtension", 0xc34850d53a24d54cull));
static_assert(entry_is(392, "Performance.Speed.MinimumFlapRetraction", 0xa950b94520f973b4ull));
static_assert(entry_is(406, "Simulation.TakeSceenshot", 0x2dbeab6c246861ddull));
static_assert(entry_is(407, "Simulation.TakeScreenshot", 0x7e18b9ee7fffc5d5ull));
static_assert(message_id("unknown") == 0x11fe4b665c0e723bull && no_entry_has(0x11fe4b665c0e723bull),
              "the fallback name must not be mistaken for an entry");

}  // namespace

MessageName message_catalogue_lookup(std::uint64_t id) {
    return message_catalogue_name(id);
}

const MessageName& message_catalogue_name(std::uint64_t id) {
    for (std::size_t i = 0; i < kMessageCatalogueSize; ++i) {
        if (kIds[i] == id) {
            return kEntries[i].name;
        }
    }
    return kUnknownName;
}

std::span<const MessageNameEntry> message_catalogue_entries() {
    return kEntries;
}
