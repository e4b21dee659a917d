"""Shared test settings: timing is not tested here, so hypothesis' per-example deadline is off."""

from hypothesis import HealthCheck, settings

settings.register_profile("tq", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("tq")
