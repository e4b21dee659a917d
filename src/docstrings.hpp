// Docstrings in the signature-line form: the call signature, a line "--", an empty line, then the text.
#pragma once

namespace tqpy::doc {

inline constexpr const char* kModule = "Python module for tq (Telquant).";

#define TQ_TELQUANT_SIGNATURE "Telquant(value, unit)\n--\n\n"
#define TQ_TELQUANT_BODY                                                              \
    "A dimensioned variable that combines a numerical value with physical units.\n\n" \
    "The TQ class performs dimensional analysis to ensure physical correctness\n"     \
    "in mathematical operations. Units are stored internally as SI base unit\n"       \
    "exponents (m, kg, s, K, A, mol, cd, rad).\n\n"                                   \
    "Examples:\n"                                                                     \
    "    >>> from tq_pyo3 import Telquant\n"                                          \
    "    >>> velocity = Telquant(10.0, \"m/s\")\n"                                    \
    "    >>> time = Telquant(2.0, \"s\")\n"                                           \
    "    >>> distance = velocity * time\n"                                            \
    "    >>> distance.value_in(\"m\")\n"                                              \
    "    20.0\n"                                                                      \
    "    >>> distance.value_in(\"km\")\n"                                             \
    "    0.02"

// Arrays, not pointers, so that the type's slot table can take either as a template argument (telquant_type.cpp).
inline constexpr char kTelquant[] = TQ_TELQUANT_SIGNATURE TQ_TELQUANT_BODY;
// Pythons before 3.10 strip the signature from a heap type's doc once before keeping it and once more for
// __doc__; given the signature twice, they keep both __text_signature__ and the plain __doc__.
inline constexpr char kTelquantSignatureTwice[] = TQ_TELQUANT_SIGNATURE TQ_TELQUANT_SIGNATURE TQ_TELQUANT_BODY;

#undef TQ_TELQUANT_BODY
#undef TQ_TELQUANT_SIGNATURE

inline constexpr const char* kValue =
    "value($self)\n--\n\nGet the raw value in SI base units.\n\nReturns:\n    float: The value in SI base units";
inline constexpr const char* kValueIn =
    "value_in($self, unit)\n--\n\nConvert the value to the specified unit.\n\nArgs:\n    unit (str): The target unit "
    "string\n\nReturns:\n    float: The value in the target unit\n\nRaises:\n    TQError: If units are incompatible or "
    "unit string is invalid";
inline constexpr const char* kIsUnitless =
    "is_unitless($self)\n--\n\nCheck if the variable is dimensionless (unitless).\n\nReturns:\n    bool: True if "
    "dimensionless, False otherwise";
inline constexpr const char* kBaseUnits =
    "base_units($self)\n--\n\nGet the base unit exponents as a tuple.\n\nReturns:\n    tuple: (m, kg, s, K, A, mol, "
    "cd, rad) exponents";

#define TQ_MATH_DOC(name, summary, returns, raises) \
    name "($self)\n--\n\n" summary "\n\nReturns:\n    TQ: " returns "\n\nRaises:\n    TQError: " raises

inline constexpr const char* kSqrt = TQ_MATH_DOC("sqrt", "Square root.", "The square root", "If the operation fails");
inline constexpr const char* kLn = TQ_MATH_DOC("ln", "Natural logarithm (requires unitless value).",
                                               "The natural logarithm (unitless)", "If the value is not unitless");
inline constexpr const char* kLog2 = TQ_MATH_DOC("log2", "Base-2 logarithm (requires unitless value).",
                                                 "The base-2 logarithm (unitless)", "If the value is not unitless");
inline constexpr const char* kLog10 = TQ_MATH_DOC("log10", "Base-10 logarithm (requires unitless value).",
                                                  "The base-10 logarithm (unitless)", "If the value is not unitless");
inline constexpr const char* kSin =
    TQ_MATH_DOC("sin", "Sine (requires angle).", "The sine (unitless)", "If the value is not an angle");
inline constexpr const char* kCos =
    TQ_MATH_DOC("cos", "Cosine (requires angle).", "The cosine (unitless)", "If the value is not an angle");
inline constexpr const char* kTan =
    TQ_MATH_DOC("tan", "Tangent (requires angle).", "The tangent (unitless)", "If the value is not an angle");
inline constexpr const char* kAsin =
    TQ_MATH_DOC("asin", "Arcsine (requires unitless value in [-1, 1]).", "The arcsine as an angle in radians",
                "If the value is not unitless or outside [-1, 1]");
inline constexpr const char* kAcos =
    TQ_MATH_DOC("acos", "Arccosine (requires unitless value in [-1, 1]).", "The arccosine as an angle in radians",
                "If the value is not unitless or outside [-1, 1]");
inline constexpr const char* kAtan =
    TQ_MATH_DOC("atan", "Arctangent (requires unitless value).", "The arctangent as an angle in radians",
                "If the value is not unitless");

#undef TQ_MATH_DOC

inline constexpr const char* kAsinFn = "asin(x)\n--\n\nArcsine function for f64 input, returns Telquant in radians.";
inline constexpr const char* kAcosFn = "acos(x)\n--\n\nArccosine function for f64 input, returns Telquant in radians.";
inline constexpr const char* kAtanFn = "atan(x)\n--\n\nArctangent function for f64 input, returns Telquant in radians.";

}  // namespace tqpy::doc
