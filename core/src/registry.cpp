#include "registry.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

namespace tq {
namespace {

// Dimension vectors in base order m, kg, s, K, A, mol, cd, rad.
constexpr Dims dim(double m, double kg = 0, double s = 0, double K = 0, double A = 0, double mol = 0, double cd = 0,
                   double rad = 0) {
    return Dims{m, kg, s, K, A, mol, cd, rad};
}

constexpr Dims kLength = dim(1);
constexpr Dims kArea = dim(2);
constexpr Dims kVolume = dim(3);
constexpr Dims kMass = dim(0, 1);
constexpr Dims kTime = dim(0, 0, 1);
constexpr Dims kTemperature = dim(0, 0, 0, 1);
constexpr Dims kCurrent = dim(0, 0, 0, 0, 1);
constexpr Dims kAmount = dim(0, 0, 0, 0, 0, 1);
constexpr Dims kAngle = dim(0, 0, 0, 0, 0, 0, 0, 1);
constexpr Dims kForce = dim(1, 1, -2);
constexpr Dims kEnergy = dim(2, 1, -2);
constexpr Dims kPower = dim(2, 1, -3);
constexpr Dims kCharge = dim(0, 0, 1, 0, 1);
constexpr Dims kVoltage = dim(2, 1, -3, 0, -1);
constexpr Dims kResistance = dim(2, 1, -3, 0, -2);

constexpr auto kUnits = std::to_array<UnitDef>({
    {"m", "meter", 1, kLength},
    {"cm", "centimeter", 0.01, kLength},
    {"mm", "millimeter", 0.001, kLength},
    {"um", "micrometer", 1e-6, kLength},
    {"nm", "nanometer", 1e-9, kLength},
    {"km", "kilometer", 1000, kLength},
    {"mi", "mile", 1609.344, kLength},
    {"yd", "yard", 0.9144, kLength},
    {"ft", "foot", 0.3048, kLength},
    {"in", "inch", 0.0254, kLength},
    {"ly", "light year", 9.4607e15, kLength},
    {"pc", "parsec", 3.0857e16, kLength},
    {"ha", "hectare", 10000, kArea},
    {"ac", "acre", 4046.8564224, kArea},
    {"l", "liter", 0.001, kVolume},
    {"ml", "milliliter", 1e-6, kVolume},
    {"gal", "gallon", 0.003785411784, kVolume},
    {"qt", "quart", 0.00094635284, kVolume},
    {"pt", "pint", 0.00047317642, kVolume},
    {"cup", "cup", 0.00023658821, kVolume},
    {"kn", "knot", 0.5144444444444445, dim(1, 0, -1)},
    {"N", "newton", 1, kForce},
    {"kN", "kilonewton", 1000, kForce},
    {"lbf", "pound-force", 4.4482216152605, kForce},
    {"kg", "kilogram", 1, kMass},
    {"g", "gram", 0.001, kMass},
    {"mg", "milligram", 1e-6, kMass},
    {"t", "metric ton", 1000, kMass},
    {"lb", "pound", 0.45359237, kMass},
    {"oz", "ounce", 0.028349523125, kMass},
    {"ns", "nanosecond", 1e-9, kTime},
    {"us", "microsecond", 1e-6, kTime},
    {"ms", "millisecond", 0.001, kTime},
    {"s", "second", 1, kTime},
    {"min", "minute", 60, kTime},
    {"hr", "hour", 3600, kTime},
    {"d", "day", 86400, kTime},
    {"wk", "week", 604800, kTime},
    {"mo", "month", 2629800, kTime},
    {"yr", "year", 31536000, kTime},
    {"C", "celsius", 1, kTemperature},
    {"F", "fahrenheit", 0.5555555555555556, kTemperature},
    {"K", "kelvin", 1, kTemperature},
    {"A", "ampere", 1, kCurrent},
    {"mA", "milliampere", 0.001, kCurrent},
    {"kA", "kiloampere", 1000, kCurrent},
    {"MA", "megaampere", 1000000, kCurrent},
    {"eV", "electronvolt", 1.602176634e-19, kEnergy},
    {"mJ", "millijoule", 0.001, kEnergy},
    {"J", "joule", 1, kEnergy},
    {"kJ", "kilojoule", 1000, kEnergy},
    {"MJ", "megajoule", 1000000, kEnergy},
    {"GJ", "gigajoule", 1000000000, kEnergy},
    {"Tj", "terajoule", 1000000000000, kEnergy},
    {"cal", "calorie", 4.184, kEnergy},
    {"kcal", "kilocalorie", 4184, kEnergy},
    {"Wh", "watt-hour", 3600, kEnergy},
    {"kWh", "kilowatt-hour", 3600000, kEnergy},
    {"BTU", "British thermal unit", 1055.05585, kEnergy},
    {"erg", "erg", 1e-7, kEnergy},
    {"W", "watt", 1, kPower},
    {"kW", "kilowatt", 1000, kPower},
    {"MW", "megawatt", 1000000, kPower},
    {"GW", "gigawatt", 1000000000, kPower},
    {"TW", "terawatt", 1000000000000, kPower},
    {"hp", "horsepower", 745.6998715822702, kPower},
    {"Coulomb", "coulomb", 1, kCharge},
    {"mC", "millicoulomb", 0.001, kCharge},
    {"kC", "kilocoulomb", 1000, kCharge},
    {"V", "volt", 1, kVoltage},
    {"mV", "millivolt", 0.001, kVoltage},
    {"kV", "kilovolt", 1000, kVoltage},
    {"Ohm", "ohm", 1, kResistance},
    {"mOhm", "milliohm", 0.001, kResistance},
    {"kOhm", "kiloohm", 1000, kResistance},
    {"mol", "mole", 1, kAmount},
    {"kmol", "kilomole", 1000, kAmount},
    {"mmol", "millimole", 0.001, kAmount},
    {"umol", "micromole", 1e-6, kAmount},
    {"nmol", "nanomole", 1e-9, kAmount},
    {"pmol", "picomole", 1e-12, kAmount},
    {"fmol", "femtomole", 1e-15, kAmount},
    {"cd", "candela", 1, dim(0, 0, 0, 0, 0, 0, 1)},
    {"lux", "lux", 1, dim(-2, 0, 0, 0, 0, 0, 1)},
    {"rad", "radian", 1, kAngle},
    {"mrad", "milliradian", 0.001, kAngle},
    {"deg", "degree", 0.017453292519943295, kAngle},
    {"arcmin", "arcminute", 0.0002908882086657216, kAngle},
    {"arcsec", "arcsecond", 4.84813681109536e-6, kAngle},
    {"rev", "revolution", 6.283185307179586, kAngle},
});

// Lookup: a symbol of at most seven bytes packed into one word (its bytes from the low end, its length in the
// top byte, so distinct symbols give distinct words), found by open addressing in a table built at compile time.
constexpr std::size_t kLongestSymbol = 7;
constexpr std::size_t kSlots = 256;
constexpr unsigned char kNoRow = 0xFF;
static_assert(kUnits.size() < kNoRow && kUnits.size() < kSlots / 2, "too many units: widen the rows or add slots");

constexpr std::uint64_t pack(std::string_view s) {
    std::uint64_t key = static_cast<std::uint64_t>(s.size()) << 56;
    for (std::size_t i = 0; i < s.size(); ++i)
        key |= static_cast<std::uint64_t>(static_cast<unsigned char>(s[i])) << (8 * i);
    return key;
}

constexpr std::size_t home_slot(std::uint64_t key) {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> 56);
}

struct SymbolTable {
    std::array<std::uint64_t, kSlots> keys{};  // 0: empty slot (no symbol packs to 0)
    std::array<unsigned char, kSlots> rows{};
    std::size_t longest_probe = 0;
    bool distinct = true;
};

constexpr SymbolTable build_symbol_table() {
    SymbolTable t;
    for (auto& row : t.rows) row = kNoRow;
    for (std::size_t r = 0; r < kUnits.size(); ++r) {
        std::uint64_t key = pack(kUnits[r].symbol);
        std::size_t probe = 1;
        std::size_t i = home_slot(key);
        for (; t.keys[i] != 0; i = (i + 1) % kSlots, ++probe)
            if (t.keys[i] == key) t.distinct = false;
        t.keys[i] = key;
        t.rows[i] = static_cast<unsigned char>(r);
        t.longest_probe = std::max(probe, t.longest_probe);
    }
    return t;
}

constexpr SymbolTable kSymbols = build_symbol_table();

constexpr bool symbols_fit() {
    return std::ranges::all_of(kUnits,
                               [](const UnitDef& u) { return !u.symbol.empty() && u.symbol.size() <= kLongestSymbol; });
}
static_assert(symbols_fit(), "unit symbols must have one to seven bytes");
static_assert(kSymbols.distinct, "unit symbols must be distinct");
static_assert(kSymbols.longest_probe <= 4, "the symbol table needs a better spread");

}  // namespace

const UnitDef* find_unit(std::string_view symbol) {
    if (symbol.empty() || symbol.size() > kLongestSymbol) return nullptr;
    const std::uint64_t key = pack(symbol);
    for (std::size_t i = home_slot(key);; i = (i + 1) % kSlots) {
        if (kSymbols.keys[i] == key) return &kUnits[kSymbols.rows[i]];
        if (kSymbols.keys[i] == 0) return nullptr;
    }
}

}  // namespace tq
