#include "tests/support/gmpcheck.h"

#include <memory>

namespace GmpCheck {

TextbookKey MakeTextbookKey(unsigned long pStart, unsigned long qStart, unsigned long eStart)
{
    Mpz p, q, pm, qm, phi, g;
    mpz_set_ui(p.v, pStart);
    mpz_set_ui(q.v, qStart);
    mpz_nextprime(p.v, p.v);
    mpz_nextprime(q.v, q.v);
    if (mpz_cmp(p.v, q.v) == 0)
        mpz_nextprime(q.v, q.v);
    TextbookKey key;
    mpz_mul(key.n.v, p.v, q.v);
    mpz_sub_ui(pm.v, p.v, 1);
    mpz_sub_ui(qm.v, q.v, 1);
    mpz_mul(phi.v, pm.v, qm.v);
    mpz_set_ui(key.e.v, eStart);
    for (mpz_gcd(g.v, key.e.v, phi.v); mpz_cmp_ui(g.v, 1) != 0; mpz_gcd(g.v, key.e.v, phi.v))
        mpz_add_ui(key.e.v, key.e.v, 1);
    mpz_invert(key.d.v, key.e.v, phi.v);
    return key;
}

using GInt::Num;
using GInt::OwnedNum;

namespace {

bool IsZero(const Mpz& v) { return mpz_sgn(v.v) == 0; }

std::string Describe(Num n)
{
    if (!n)
        return "(none)";
    if (const std::string defect = ChainDefect(n); !defect.empty())
        return "(broken: " + defect + ")";
    const Mpz value = ValueOf(n);
    return IsZero(value) && n->Sign == 0 ? "-0" : value.text();
}

// A result that must exist, be a sound chain and hold `expected`.
std::string ExpectValue(const char* what, Num got, const Mpz& expected)
{
    if (!got)
        return std::string(what) + " was not produced";
    if (const std::string defect = ChainDefect(got); !defect.empty())
        return std::string(what) + ": " + defect;
    const Mpz value = ValueOf(got);
    if (mpz_cmp(value.v, expected.v) != 0)
        return std::string(what) + " is " + value.text() + ", expected " + expected.text();
    return {};
}

// Flooring and ceiling quotients of magnitudes, and the program's Euclidean pair.
void ExpectedDivMod(const Mpz& a, const Mpz& b, Mpz& q, Mpz& r)
{
    Mpz absA, absB;
    mpz_abs(absA.v, a.v);
    mpz_abs(absB.v, b.v);
    if (mpz_sgn(a.v) >= 0) {
        mpz_fdiv_qr(q.v, r.v, absA.v, absB.v);
        if (mpz_sgn(b.v) < 0)
            mpz_neg(q.v, q.v);
    } else {
        mpz_cdiv_qr(q.v, r.v, absA.v, absB.v); // r <= 0 here
        mpz_neg(r.v, r.v);
        if (mpz_sgn(b.v) > 0)
            mpz_neg(q.v, q.v);
    }
}

std::string OperandText(Op op, Num a, Num b, Num c)
{
    std::string s = std::string(OpName(op)) + "(" + Describe(a);
    if (b)
        s += ", " + Describe(b);
    if (c)
        s += ", " + Describe(c);
    return s + ")";
}

} // namespace

std::string Mpz::text() const
{
    std::unique_ptr<char, void (*)(void*)> s(mpz_get_str(nullptr, 10, v), [](void* p) {
        void (*release)(void*, size_t);
        mp_get_memory_functions(nullptr, nullptr, &release);
        release(p, 0);
    });
    return s.get();
}


Mpz ValueOf(Num n)
{
    const GInt::TDigitNode* top = n;
    while (top->Higher)
        top = top->Higher;
    Mpz value;
    for (const GInt::TDigitNode* node = top; node; node = node->Lower) {
        mpz_mul_ui(value.v, value.v, 10000);
        mpz_add_ui(value.v, value.v, static_cast<unsigned long>(node->Digit));
    }
    if (n->Sign == 0)
        mpz_neg(value.v, value.v);
    return value;
}

OwnedNum MakeNum(const Mpz& value, bool negativeZero)
{
    OwnedNum n;
    GInt::DecimalToNum(IsZero(value) && negativeZero ? "-0" : value.text(), n.out());
    return n;
}



const char* OpName(Op op)
{
    switch (op) {
    case Op::Add: return "AddNum";
    case Op::Sub: return "SubNum";
    case Op::Mul: return "MulNum";
    case Op::Square: return "SquareNum";
    case Op::DivMod: return "DivModNum";
    case Op::Mod: return "ModNum";
    case Op::Gcd: return "GcdNum";
    case Op::MulMod: return "MulMod";
    case Op::SquareMod: return "SquareMod";
    case Op::PowerMod: return "PowerMod";
    case Op::InverseMod: return "InverseMod";
    case Op::Count: break;
    }
    return "?";
}

std::string CheckOp(Op op, Num a, Num b, Num c)
{
    // Which operands take part.
    const bool usesB = op != Op::Square;
    const bool usesC = op == Op::MulMod || op == Op::PowerMod;
    if (op == Op::SquareMod)
        c = nullptr;
    if (!usesB)
        b = nullptr;
    if (!usesC)
        c = nullptr;

    for (Num n : {a, b, c})
        if (n)
            if (const std::string defect = ChainDefect(n); !defect.empty())
                return "bad operand given to the check: " + defect;

    const std::string call = OperandText(op, a, b, c);
    const Snapshot sa = Take(a);
    const Snapshot sb = b ? Take(b) : Snapshot{};
    const Snapshot sc = c ? Take(c) : Snapshot{};
    const Mpz va = ValueOf(a);
    const Mpz vb = b ? ValueOf(b) : Mpz();
    const Mpz vc = c ? ValueOf(c) : Mpz();

    // The number that acts as divisor or modulus, if any.
    const Mpz* divisor = nullptr;
    if (op == Op::DivMod || op == Op::Mod || op == Op::SquareMod || op == Op::InverseMod)
        divisor = &vb;
    if (op == Op::MulMod || op == Op::PowerMod)
        divisor = &vc;

    OwnedNum r1, r2;
    // InverseMod must leave its out-parameter alone when there is no inverse:
    // hand it a number of its own and see that it is still there afterwards.
    OwnedNum sentinel;
    GInt::DecimalToNum("4242", sentinel.out());
    Num inverse = sentinel.get();
    bool raisedDivByZero = false;

    try {
        switch (op) {
        case Op::Add: GInt::AddNum(a, b, r1.out()); break;
        case Op::Sub: GInt::SubNum(a, b, r1.out()); break;
        case Op::Mul: GInt::MulNum(a, b, r1.out()); break;
        case Op::Square: GInt::SquareNum(a, r1.out()); break;
        case Op::DivMod: GInt::DivModNum(a, b, r1.out(), r2.out()); break;
        case Op::Mod: GInt::ModNum(a, b, r1.out()); break;
        case Op::Gcd: GInt::GcdNum(a, b, r1.out()); break;
        case Op::MulMod: GInt::MulMod(a, b, c, r1.out()); break;
        case Op::SquareMod: GInt::SquareMod(a, b, r1.out()); break;
        case Op::PowerMod: GInt::PowerMod(a, b, c, r1.out()); break;
        case Op::InverseMod:
            GInt::InverseMod(a, b, inverse);
            if (inverse != sentinel.get())
                r1.reset(inverse);
            break;
        case Op::Count: return "no such operation";
        }
    } catch (const GInt::EDivByZero&) {
        raisedDivByZero = true;
    } catch (const std::exception& e) {
        return call + " raised an unexpected exception: " + e.what();
    }

    // Operands stay as they were, whatever happened.
    if (!(Take(a) == sa) || (b && !(Take(b) == sb)) || (c && !(Take(c) == sc)))
        return call + " changed an operand";
    if (ChainDefect(sentinel.get()) != "" || ValueOf(sentinel.get()).text() != "4242")
        return call + " damaged the out-parameter it was handed";

    const bool zeroDivisor = divisor && IsZero(*divisor);
    if (raisedDivByZero) {
        if (r1 || r2)
            return call + " raised EDivByZero after producing a result";
        if (zeroDivisor)
            return {};
        if (op == Op::InverseMod && IsZero(va) && mpz_cmpabs_ui(vb.v, 1) == 0)
            return {}; // zero has no inverse; the first division is by zero
        return call + " raised EDivByZero for a non-zero divisor";
    }

    const auto fail = [&](const std::string& what) { return what.empty() ? what : call + ": " + what; };

    switch (op) {
    case Op::Add:
    case Op::Sub:
    case Op::Mul:
    case Op::Square: {
        Mpz expected;
        if (op == Op::Add)
            mpz_add(expected.v, va.v, vb.v);
        else if (op == Op::Sub)
            mpz_sub(expected.v, va.v, vb.v);
        else if (op == Op::Mul)
            mpz_mul(expected.v, va.v, vb.v);
        else
            mpz_mul(expected.v, va.v, va.v);
        return fail(ExpectValue("result", r1.get(), expected));
    }
    case Op::DivMod:
    case Op::Mod: {
        if (zeroDivisor)
            return call + " did not raise EDivByZero";
        Mpz q, r;
        ExpectedDivMod(va, vb, q, r);
        if (op == Op::Mod)
            return fail(ExpectValue("remainder", r1.get(), r));
        if (std::string e = ExpectValue("quotient", r1.get(), q); !e.empty())
            return fail(e);
        return fail(ExpectValue("remainder", r2.get(), r));
    }
    case Op::Gcd: {
        Mpz expected;
        mpz_gcd(expected.v, va.v, vb.v);
        if (!r1)
            return call + ": gcd was not produced";
        if (std::string defect = ChainDefect(r1.get()); !defect.empty())
            return fail("gcd: " + defect);
        Mpz got = ValueOf(r1.get());
        mpz_abs(got.v, got.v);
        if (mpz_cmp(got.v, expected.v) != 0)
            return fail("|gcd| is " + got.text() + ", expected " + expected.text());
        return {};
    }
    case Op::MulMod:
    case Op::SquareMod:
    case Op::PowerMod: {
        const bool zeroExponent = op == Op::PowerMod && IsZero(vb);
        if (zeroExponent)
            return fail(ExpectValue("power", r1.get(), Mpz(1)));
        if (zeroDivisor)
            return call + " did not raise EDivByZero";
        Mpz modulus, expected;
        mpz_abs(modulus.v, divisor->v);
        if (op == Op::MulMod) {
            mpz_mul(expected.v, va.v, vb.v);
            mpz_mod(expected.v, expected.v, modulus.v);
        } else if (op == Op::SquareMod) {
            mpz_mul(expected.v, va.v, va.v);
            mpz_mod(expected.v, expected.v, modulus.v);
        } else {
            Mpz exponent;
            mpz_abs(exponent.v, vb.v);
            mpz_powm(expected.v, va.v, exponent.v, modulus.v);
        }
        return fail(ExpectValue("result", r1.get(), expected));
    }
    case Op::InverseMod: {
        Mpz g;
        mpz_gcd(g.v, va.v, vb.v);
        if (mpz_cmp_ui(g.v, 1) != 0) {
            if (r1)
                return call + ": an inverse was produced although gcd is " + g.text();
            return {};
        }
        if (!r1)
            return call + ": no inverse was produced although gcd is 1";
        if (std::string defect = ChainDefect(r1.get()); !defect.empty())
            return fail("inverse: " + defect);
        const Mpz x = ValueOf(r1.get());
        if (IsZero(vb)) {
            // Only a = +-1 gets here; modulo zero the inverse must be +-1 too.
            if (mpz_cmpabs_ui(x.v, 1) != 0)
                return fail("inverse modulo zero is " + x.text());
            return {};
        }
        Mpz modulus, check;
        mpz_abs(modulus.v, vb.v);
        mpz_mul(check.v, va.v, x.v);
        mpz_sub_ui(check.v, check.v, 1);
        if (!mpz_divisible_p(check.v, modulus.v))
            return fail("inverse " + x.text() + " does not satisfy a*x = 1");
        if (mpz_sgn(va.v) > 0 && mpz_cmp_ui(vb.v, 1) > 0
            && (mpz_sgn(x.v) <= 0 || mpz_cmp(x.v, vb.v) >= 0))
            return fail("inverse " + x.text() + " outside 1..m-1");
        return {};
    }
    case Op::Count: break;
    }
    return "no such operation";
}

} // namespace GmpCheck
