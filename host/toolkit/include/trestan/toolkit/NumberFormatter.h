#pragma once

#include <string>

namespace trestan::toolkit {

/// Decimal text of floating-point numbers in the shortest form that reads back to the same value.
/// The layout is that of Python's repr(): fixed notation with at least one fractional digit for
/// decimal exponents from -4 to 15 ("0.001", "100.0", "-0.0"), scientific notation otherwise
/// ("1e-05", "1.5e+16"), so that JSON documents look like those that Python tools write.
class NumberFormatter {
public:
    /// Shortest digits that read back as the same double; "nan", "inf" or "-inf" for non-finite values.
    static std::string shortest(double value);
    /// Shortest digits that read back as the same float (0.001f gives "0.001").
    static std::string shortest(float value);
    /// The double nearest to the shortest decimal form of `value`: 0.001f becomes 0.001, which
    /// prints as "0.001" where the exact widening would print 0.0010000000474974513.
    static double widenShortest(float value);
};

} // namespace trestan::toolkit
