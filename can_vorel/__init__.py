"""python-can interface plug-in for VOREL USB CAN adapters: ``can.Bus(interface="vorel", ...)``."""

from can_vorel.bus import VorelBus, VorelCyclicTask

__all__ = ["VorelBus", "VorelCyclicTask"]
