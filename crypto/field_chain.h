// The exponentiation chain that both field forms share: x^(p-2) or x^((p-5)/8) by way of
// x^(2^250 - 1), in squarings and eleven multiplications.
#pragma once

template <typename Field>
void square_n(Field& out, const Field& x, int count) {
  fe_sqr(out, x);
  for (int i = 1; i < count; ++i) fe_sqr(out, out);
}

// zN_M stands for x^(2^N - 2^M). `invert` picks x^(2^255 - 21), otherwise x^(2^252 - 3).
template <typename Field>
void pow_chain(Field& out, const Field& x, bool invert) {
  Field z2, z9, z11, z5_0, z10_0, z20_0, z50_0, z100_0, t;
  fe_sqr(z2, x);
  square_n(t, z2, 2);
  fe_mul(z9, t, x);
  fe_mul(z11, z9, z2);
  fe_sqr(t, z11);
  fe_mul(z5_0, t, z9);
  square_n(t, z5_0, 5);
  fe_mul(z10_0, t, z5_0);
  square_n(t, z10_0, 10);
  fe_mul(z20_0, t, z10_0);
  square_n(t, z20_0, 20);
  fe_mul(t, t, z20_0);
  square_n(t, t, 10);
  fe_mul(z50_0, t, z10_0);
  square_n(t, z50_0, 50);
  fe_mul(z100_0, t, z50_0);
  square_n(t, z100_0, 100);
  fe_mul(t, t, z100_0);
  square_n(t, t, 50);
  fe_mul(t, t, z50_0);  // x^(2^250 - 1)
  if (invert) {
    square_n(t, t, 5);
    fe_mul(out, t, z11);
  } else {
    square_n(t, t, 2);
    fe_mul(out, t, x);
  }
}
