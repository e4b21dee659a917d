"""Shared test settings for the tq_pyo3 suite."""

from hypothesis import HealthCheck, settings

# Extension calls are fast, but the first call of a fresh process (and a busy CI
# machine) can blow hypothesis' per-example deadline; timing is not tested here.
settings.register_profile(
    "tq", deadline=None, suppress_health_check=[HealthCheck.too_slow]
)
settings.load_profile("tq")
