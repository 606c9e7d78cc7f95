// Test-only reference for Curve25519 points: plain affine arithmetic with BIGNUM, slow and
// simple, against which the ladder and the key generation are checked.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <array>
#include <memory>

namespace curve_reference {

using Bytes = std::array<unsigned char, 32>;

class AffineCurve {
 public:
  AffineCurve() {
    BN_hex2bn(&p_, "7fffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffed");
    BN_set_word(a_, 486662);
  }
  ~AffineCurve() {
    for (BIGNUM* n : {p_, a_}) BN_free(n);
    BN_CTX_free(context_);
  }

  struct Point {
    std::shared_ptr<BIGNUM> u, v;  // null u: the point at infinity
  };

  // The point with this u and the even v.
  Point lift(const Bytes& u_bytes) {
    Point point{number(), number()};
    BN_lebin2bn(u_bytes.data(), 32, point.u.get());
    BN_nnmod(point.u.get(), point.u.get(), p_, context_);
    BIGNUM* y2 = point.v.get();
    BN_mod_sqr(y2, point.u.get(), p_, context_);  // (u^2 + A u + 1) u
    auto t = number();
    BN_mod_mul(t.get(), a_, point.u.get(), p_, context_);
    BN_mod_add(y2, y2, t.get(), p_, context_);
    BN_mod_add(y2, y2, BN_value_one(), p_, context_);
    BN_mod_mul(y2, y2, point.u.get(), p_, context_);
    EXPECT_NE(BN_mod_sqrt(point.v.get(), y2, p_, context_), nullptr);
    if (BN_is_odd(point.v.get())) BN_sub(point.v.get(), p_, point.v.get());
    return point;
  }

  Point add(const Point& x, const Point& y) {
    if (!x.u) return y;
    if (!y.u) return x;
    auto lambda = number(), t = number();
    if (BN_cmp(x.u.get(), y.u.get()) == 0) {
      BN_mod_add(t.get(), x.v.get(), y.v.get(), p_, context_);
      if (BN_is_zero(t.get())) return Point{};
      // (3u^2 + 2Au + 1) / 2v
      BN_mod_sqr(lambda.get(), x.u.get(), p_, context_);
      BN_mul_word(lambda.get(), 3);
      BN_mod_mul(t.get(), a_, x.u.get(), p_, context_);
      BN_mul_word(t.get(), 2);
      BN_add(lambda.get(), lambda.get(), t.get());
      BN_add_word(lambda.get(), 1);
      BN_mod_add(t.get(), x.v.get(), x.v.get(), p_, context_);
    } else {
      BN_mod_sub(lambda.get(), y.v.get(), x.v.get(), p_, context_);
      BN_mod_sub(t.get(), y.u.get(), x.u.get(), p_, context_);
    }
    BN_mod_inverse(t.get(), t.get(), p_, context_);
    BN_mod_mul(lambda.get(), lambda.get(), t.get(), p_, context_);
    Point sum{number(), number()};
    BN_mod_sqr(sum.u.get(), lambda.get(), p_, context_);  // lambda^2 - A - u1 - u2
    BN_mod_sub(sum.u.get(), sum.u.get(), a_, p_, context_);
    BN_mod_sub(sum.u.get(), sum.u.get(), x.u.get(), p_, context_);
    BN_mod_sub(sum.u.get(), sum.u.get(), y.u.get(), p_, context_);
    BN_mod_sub(t.get(), x.u.get(), sum.u.get(), p_, context_);  // lambda (u1 - u3) - v1
    BN_mod_mul(sum.v.get(), lambda.get(), t.get(), p_, context_);
    BN_mod_sub(sum.v.get(), sum.v.get(), x.v.get(), p_, context_);
    return sum;
  }

  Point multiply(const Bytes& scalar, const Point& point) {
    Point result;
    for (int bit = 255; bit >= 0; --bit) {
      result = add(result, result);
      if ((scalar[bit / 8] >> (bit % 8)) & 1) result = add(result, point);
    }
    return result;
  }

  static bool v_is_odd(const Point& point) { return point.v && BN_is_odd(point.v.get()); }

  Bytes u_bytes(const Point& point) {
    Bytes bytes{};
    if (point.u) BN_bn2lebinpad(point.u.get(), bytes.data(), 32);
    return bytes;
  }

 private:
  std::shared_ptr<BIGNUM> number() { return std::shared_ptr<BIGNUM>(BN_new(), BN_free); }

  BN_CTX* context_ = BN_CTX_new();
  BIGNUM* p_ = BN_new();
  BIGNUM* a_ = BN_new();
};

}  // namespace curve_reference
