#pragma once

// The program's version record.
namespace Version {
inline constexpr char ProductName[] = "Rasterwell";
inline constexpr char CompanyName[] = "Organization";
inline constexpr char FileVersion[] = "1.00";
inline constexpr char ProductVersion[] = "1.0.0.0";
} // namespace Version
